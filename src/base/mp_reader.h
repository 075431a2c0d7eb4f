// Reader: a bounds-checked cursor over MessagePack input, with its depth budget and scratch buffer.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "base/frame.h"

namespace velto::base::mp {

/// What a value's first byte says about the value.
enum class Family : uint8_t {
  PosFixint,  // 00..7f, the value in the marker
  NegFixint,  // e0..ff
  Nil,
  Reserved,  // c1
  Bool,
  Uint,  // cc..cf
  Int,   // d0..d3
  F32,
  F64,
  Str,
  Bin,
  Array,
  Map,
  FixExt,  // d4..d8: the size is in the marker, the type byte follows
  Ext,     // c7..c9: a length field, then the type byte
};

/// Per marker: its family and how many bytes of fixed-size head follow it (a number's
/// bytes or a length field; for an extension value not its type byte).
struct MarkerInfo {
  Family family;
  uint8_t head;
};

namespace detail {
constexpr MarkerInfo marker_info(unsigned m) {
  if (m <= 0x7f) return {Family::PosFixint, 0};
  if (m <= 0x8f) return {Family::Map, 0};
  if (m <= 0x9f) return {Family::Array, 0};
  if (m <= 0xbf) return {Family::Str, 0};
  if (m >= 0xe0) return {Family::NegFixint, 0};
  switch (m) {
    case 0xc0:
      return {Family::Nil, 0};
    case 0xc1:
      return {Family::Reserved, 0};
    case 0xc2:
    case 0xc3:
      return {Family::Bool, 0};
    case 0xc4:
      return {Family::Bin, 1};
    case 0xc5:
      return {Family::Bin, 2};
    case 0xc6:
      return {Family::Bin, 4};
    case 0xc7:
      return {Family::Ext, 1};
    case 0xc8:
      return {Family::Ext, 2};
    case 0xc9:
      return {Family::Ext, 4};
    case 0xca:
      return {Family::F32, 4};
    case 0xcb:
      return {Family::F64, 8};
    case 0xcc:
      return {Family::Uint, 1};
    case 0xcd:
      return {Family::Uint, 2};
    case 0xce:
      return {Family::Uint, 4};
    case 0xcf:
      return {Family::Uint, 8};
    case 0xd0:
      return {Family::Int, 1};
    case 0xd1:
      return {Family::Int, 2};
    case 0xd2:
      return {Family::Int, 4};
    case 0xd3:
      return {Family::Int, 8};
    case 0xd9:
      return {Family::Str, 1};
    case 0xda:
      return {Family::Str, 2};
    case 0xdb:
      return {Family::Str, 4};
    case 0xdc:
      return {Family::Array, 2};
    case 0xdd:
      return {Family::Array, 4};
    case 0xde:
      return {Family::Map, 2};
    case 0xdf:
      return {Family::Map, 4};
    default:
      return {Family::FixExt, 0};  // d4..d8
  }
}
constexpr std::array<MarkerInfo, 256> make_marker_table() {
  std::array<MarkerInfo, 256> table{};
  for (unsigned m = 0; m < 256; ++m) table[m] = marker_info(m);
  return table;
}
}  // namespace detail

inline constexpr std::array<MarkerInfo, 256> kMarkers = detail::make_marker_table();

/// What a value announces past its head: bytes of content (a string's or a binary's bytes,
/// an extension's type byte and data) and values nested in it (an array's elements, a map's
/// keys and values).
struct Announced {
  uint64_t bytes = 0;
  uint64_t values = 0;
};

/// Reads what the head at `p` announces: the marker, followed by all its kMarkers[marker].head
/// bytes, which the caller guarantees are there.
constexpr Announced announced(const unsigned char* p) {
  const uint8_t m = p[0];
  const MarkerInfo info = kMarkers[m];
  // The length field after the marker; a fix form keeps its count in the marker instead.
  auto count = [&](unsigned fix_mask) {
    if (info.head == 0) return uint64_t{m & fix_mask};
    uint64_t n = 0;
    for (unsigned i = 1; i <= info.head; ++i) n = n << 8 | p[i];
    return n;
  };
  switch (info.family) {
    case Family::Str:
      return {count(0x1f), 0};
    case Family::Bin:
      return {count(0), 0};
    case Family::Ext:
      return {1 + count(0), 0};
    case Family::FixExt:
      return {1 + (uint64_t{1} << (m - 0xd4)), 0};  // d4..d8: 1, 2, 4, 8, 16 bytes of data
    case Family::Array:
      return {0, count(0x0f)};
    case Family::Map:
      return {0, 2 * count(0x0f)};
    default:
      return {};  // the head holds the whole value
  }
}

/// The marker's name as decoder messages show it ("FixStr(3)", "U16", "Reserved").
std::string marker_name(uint8_t marker);

/// Nesting budget per decode: 1023 levels of arrays, maps and extension values fit.
inline constexpr int kDepthBudget = 1024;

/// String and binary contents of one decode. The first 128 bytes live inline, so decoding a
/// well-formed frame allocates nothing; it grows only to hold bytes that are present.
///
/// Short contents are stored in whole 8-byte words, the last one padded with zeros, and
/// equals() reads them back in the same words. A comparison right after the copy then reads
/// exactly what was stored (a byte-wise library memcpy followed by wider loads stalls the
/// processor longer than the rest of a frame's decoding takes).
class Scratch {
 public:
  static constexpr std::size_t kInline = 128;

  Scratch() = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  /// Replaces the contents with [p, p + n); the caller guarantees the n bytes exist.
  std::string_view assign(const char* p, std::size_t n) {
    if (n > capacity_ - 8) grow(n);
    size_ = n;
    if (n > kWordCopyLimit) {
      std::memcpy(data_, p, n);
      return {data_, n};
    }
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) store(i, load(p + i));
    if (i < n) store(i, tail_word(p + i, n - i));
    return {data_, n};
  }

  /// Whether the contents are exactly `text`.
  [[nodiscard]] bool equals(std::string_view text) const {
    if (text.size() != size_) return false;
    if (size_ > kWordCopyLimit) return std::memcmp(data_, text.data(), size_) == 0;
    std::size_t i = 0;
    for (; i + 8 <= size_; i += 8) {
      if (load(data_ + i) != load(text.data() + i)) return false;
    }
    return i == size_ || load(data_ + i) == tail_word(text.data() + i, size_ - i);
  }

  std::string_view view() const { return {data_, size_}; }
  /// How many bytes of content fit without growing.
  std::size_t capacity() const { return capacity_ - 8; }

 private:
  static constexpr std::size_t kWordCopyLimit = 64;

  static uint64_t load(const char* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  }
  void store(std::size_t at, uint64_t w) { std::memcpy(data_ + at, &w, 8); }
  // The last 1 to 7 bytes as one word holding them in memory order, then zeros. Built in
  // registers from loads that stay within the n bytes (two overlapping ones when n is not
  // a power of two).
  static uint64_t tail_word(const char* p, std::size_t n) {
    if constexpr (std::endian::native == std::endian::little) {
      if (n >= 4) {
        uint32_t lo, hi;
        std::memcpy(&lo, p, 4);
        std::memcpy(&hi, p + n - 4, 4);
        return lo | uint64_t{hi} << (8 * (n - 4));
      }
      if (n >= 2) {
        uint16_t lo, hi;
        std::memcpy(&lo, p, 2);
        std::memcpy(&hi, p + n - 2, 2);
        return lo | uint64_t{hi} << (8 * (n - 2));
      }
      return static_cast<uint8_t>(p[0]);
    } else {
      uint64_t w = 0;
      for (std::size_t k = 0; k < n; ++k) {
        w |= uint64_t{static_cast<uint8_t>(p[k])} << (8 * (7 - k));
      }
      return w;
    }
  }
  void grow(std::size_t n);

  std::unique_ptr<char[]> heap_;
  std::size_t capacity_ = kInline + 8;  // bytes of storage: content plus a word of padding
  std::size_t size_ = 0;
  char* data_ = inline_;  // inline_ until the first growth, then heap_
  alignas(8) char inline_[kInline + 8];
};

/// Cursor {start, pos, end} over the input. Only peek_marker, take and the content
/// functions look at the bytes, and they alone report the end of the input; every
/// failure is recorded here and signalled by returning false.
class Reader {
 public:
  Reader(const char* data, std::size_t size) : start_(data), pos_(data), end_(data + size) {}
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  /// Bytes consumed so far.
  std::size_t used() const { return static_cast<std::size_t>(pos_ - start_); }

  /// The first byte of the next value, not consumed.
  [[nodiscard]] bool peek_marker(uint8_t& marker) {
    if (pos_ == end_) [[unlikely]]
      return fail_end("IO error while reading marker: failed to fill whole buffer");
    marker = static_cast<uint8_t>(*pos_);
    return true;
  }

  /// Consumes n bytes of fixed-size data (a marker with its head, an extension's type
  /// byte); `at` points to the first of them.
  [[nodiscard]] bool take(std::size_t n, const char*& at) {
    if (static_cast<std::size_t>(end_ - pos_) < n) [[unlikely]]
      return fail_end("IO error while reading data: failed to fill whole buffer");
    at = pos_;
    pos_ += n;
    return true;
  }

  /// Consumes the one-byte value or header that peek_marker has just returned (a fixarray,
  /// fixmap or fixstr marker holds its whole head). Nothing can fail after a successful
  /// peek_marker; at the end of the input it consumes nothing, and the next read reports it.
  void skip_marker() { pos_ += pos_ != end_; }

  /// Consumes the marker `m` that peek_marker returned together with its head.
  [[nodiscard]] bool take_head(uint8_t m, const char*& at) {
    return take(1u + kMarkers[m].head, at);
  }

  /// Consumes `len` bytes of string or binary content and copies them to the scratch buffer.
  /// When fewer bytes are left, copies those and fails: an announced length reserves nothing.
  [[nodiscard]] bool content(uint64_t len, std::string_view& out) {
    const std::size_t left = static_cast<std::size_t>(end_ - pos_);
    if (left < len) [[unlikely]] {
      scratch_.assign(pos_, left);
      pos_ = end_;
      return fail_end("IO error while reading data: unexpected end of file");
    }
    out = scratch_.assign(pos_, static_cast<std::size_t>(len));
    pos_ += len;
    return true;
  }

  /// Consumes `len` bytes of content that nobody looks at.
  [[nodiscard]] bool skip_content(uint64_t len) {
    const std::size_t left = static_cast<std::size_t>(end_ - pos_);
    if (left < len) [[unlikely]] {
      pos_ = end_;
      return fail_end("IO error while reading data: unexpected end of file");
    }
    pos_ += len;
    return true;
  }

  /// Records a final error (more bytes would not help); returns false.
  bool fail(std::string message) {
    set_error(std::move(message));
    return false;
  }

  DecodeError& error() { return error_; }
  const Scratch& scratch() const { return scratch_; }

  /// Takes one level of the depth budget for a container (array, map, extension value) and
  /// gives it back when the container's decoding ends, however it ends.
  class DepthGuard {
   public:
    explicit DepthGuard(Reader& r) : r_(r), ok_(--r.depth_ > 0) {
      if (!ok_) [[unlikely]]
        r.fail("depth limit exceeded");
    }
    ~DepthGuard() { ++r_.depth_; }
    DepthGuard(const DepthGuard&) = delete;
    DepthGuard& operator=(const DepthGuard&) = delete;
    explicit operator bool() const { return ok_; }

   private:
    Reader& r_;
    bool ok_;
  };

 private:
  /// Records that the input ended inside the value; returns false.
  bool fail_end(const char* message) {
    set_end_error(message);
    return false;
  }
  [[gnu::cold, gnu::noinline]] void set_end_error(const char* message);
  [[gnu::cold, gnu::noinline]] void set_error(std::string message);

  const char* start_;
  const char* pos_;
  const char* end_;
  int depth_ = kDepthBudget;
  DecodeError error_;
  Scratch scratch_;
};

}  // namespace velto::base::mp
