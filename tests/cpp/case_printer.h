// Table cases print as their name in the test output ("GetParam() = NoPort"), not as the bytes
// of the struct. A test file brings it in with `using velto::testing::PrintTo;` in the
// namespace of its case structs, where the test framework looks for a printer.
#pragma once

#include <concepts>
#include <ostream>
#include <string_view>

namespace velto::testing {

template <typename Case>
requires requires(const Case& c) {
  { c.name } -> std::convertible_to<std::string_view>;
}
void PrintTo(const Case& c, std::ostream* os) { *os << std::string_view(c.name); }

}  // namespace velto::testing
