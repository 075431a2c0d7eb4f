// Display form of an error value and its causes.
#include "base/error.h"

#include <cstdio>

namespace velto::base {

namespace {

// Appends `text`, indenting every line after the first by `indent` spaces.
void append_indented(std::string& out, const std::string& text, std::size_t indent) {
  for (char c : text) {
    out.push_back(c);
    if (c == '\n') out.append(indent, ' ');
  }
}

}  // namespace

std::string Error::display() const {
  std::string out = message_;
  if (causes_.empty()) return out;
  out += "\n\nCaused by:";
  if (causes_.size() == 1) {
    out += "\n    ";
    append_indented(out, causes_[0], 4);
    return out;
  }
  for (std::size_t i = 0; i < causes_.size(); ++i) {
    char index[32];
    std::snprintf(index, sizeof index, "\n%5zu: ", i);
    out += index;
    append_indented(out, causes_[i], 7);
  }
  return out;
}

}  // namespace velto::base
