// HttpHeadParser: an HTTP/1.1 request head read incrementally, within a size bound.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velto::server::ws {

/// ASCII lower case: header names, tokens and hosts compare without case, whatever the locale.
constexpr char to_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

inline bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return to_lower(x) == to_lower(y);
         });
}

/// The most bytes a request head may take, its empty last line included.
inline constexpr std::size_t kMaxHeadBytes = 8192;

/// One header line; the value without its leading and trailing spaces and tabs.
struct Header {
  std::string name;
  std::string value;
};

struct HttpRequest {
  std::string method;   // "GET"
  std::string target;   // "/ws?k=..."
  std::string version;  // "HTTP/1.1"
  std::vector<Header> headers;

  /// The value of the first header named `name` (any case), or nullopt when there is none.
  std::optional<std::string_view> header(std::string_view name) const;
  /// How many headers are named `name` (any case).
  std::size_t count(std::string_view name) const;
  /// The target before its '?'.
  std::string_view path() const;
  /// The percent-decoded value of the first `key=value` pair of the query, or nullopt when
  /// the key is absent or the value holds a malformed escape.
  std::optional<std::string> query(std::string_view key) const;
};

/// Reads one request head from bytes fed as they arrive. After Done or Failed the parser is
/// finished: one request per connection.
class HttpHeadParser {
 public:
  struct NeedMore {};
  /// `consumed`: how many of all the bytes fed belong to the head (the rest came after it).
  struct Done {
    HttpRequest request;
    std::size_t consumed;
  };
  /// `status`: 400 (malformed), 431 (longer than kMaxHeadBytes) or 505 (not HTTP/1.x).
  struct Failed {
    int status;
    std::string why;
  };
  using Result = std::variant<NeedMore, Done, Failed>;

  /// Adds bytes after those fed before.
  Result feed(const char* data, std::size_t size);

 private:
  Result parse(std::size_t head_size);

  std::string bytes_;
  // Where the search for the head's end resumes.
  std::size_t scanned_ = 0;
  bool finished_ = false;
};

}  // namespace velto::server::ws
