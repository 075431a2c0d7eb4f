// The shared wire-format vectors (tests/vectors/wire.txt), as the C++ tests read them.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace velto::wire_vectors {

struct Vector {
  std::string kind;  // "frame" or "reply"
  std::string name;
  std::string meaning;
  std::string bytes;
};

inline void PrintTo(const Vector& v, std::ostream* os) { *os << v.kind << ' ' << v.name; }

inline std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(' ');
  const auto last = s.find_last_not_of(' ');
  return first == std::string::npos ? "" : s.substr(first, last - first + 1);
}

/// The bytes of "92 01 c3"-style text.
inline std::string from_hex(const std::string& text) {
  std::string out;
  std::istringstream in(text);
  std::string byte;
  while (in >> byte) out.push_back(static_cast<char>(std::stoi(byte, nullptr, 16)));
  return out;
}

/// "KIND NAME = MEANING = HEX" lines; '#' lines and empty lines are skipped.
inline std::vector<Vector> load() {
  std::ifstream file(VELTO_VECTORS_FILE);
  std::vector<Vector> out;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    const auto eq1 = line.find(" = ");
    const auto eq2 = line.rfind(" = ");
    const auto space = line.find(' ');
    if (eq1 == std::string::npos || eq1 == eq2) {
      ADD_FAILURE() << "malformed vector line: " << line;
      continue;
    }
    out.push_back({line.substr(0, space), trim(line.substr(space, eq1 - space)),
                   line.substr(eq1 + 3, eq2 - eq1 - 3), from_hex(line.substr(eq2 + 3))});
  }
  return out;
}

}  // namespace velto::wire_vectors
