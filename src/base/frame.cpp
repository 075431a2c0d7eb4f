// Frame decoding from MessagePack and identity keys of frames.
#include "base/frame.h"

#include <msgpuck.h>

#include <array>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <span>

#include "base/mp_reader.h"
#include "base/utf8.h"

namespace velto::base {

namespace {

using mp::Family;
using mp::Reader;

// ---------------------------------------------------------------------------------------
// Texts of the decoder's messages.

std::string integer_text(uint64_t v) { return "integer `" + std::to_string(v) + "`"; }
std::string integer_text(int64_t v) { return "integer `" + std::to_string(v) + "`"; }

/// The shortest decimal that reads back to `v`, in plain notation (never an exponent).
std::string plain_decimal(double v) {
  char buf[32];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));  // [-]d[.ddd]e(+|-)xx
  std::string out;
  if (sci.front() == '-') {
    out.push_back('-');
    sci.remove_prefix(1);
  }
  const std::size_t e = sci.find('e');
  std::string digits(1, sci[0]);
  if (e > 1) digits.append(sci.substr(2, e - 2));
  int exponent = 0;
  std::from_chars(sci.data() + e + 2, sci.data() + sci.size(), exponent);
  if (sci[e + 1] == '-') exponent = -exponent;
  // The value is 0.<digits> times ten to the power `point`.
  const long point = exponent + 1L;
  const long count = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= count) {
    out += digits;
    out.append(static_cast<std::size_t>(point - count), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

std::string float_text(double v) {
  std::string text = "floating point `";
  if (std::isnan(v)) {
    text += "NaN";
  } else if (std::isinf(v)) {
    text += v < 0 ? "-inf" : "inf";
  } else {
    const std::string digits = plain_decimal(v);
    text += digits;
    if (digits.find('.') == std::string::npos) text += ".0";
  }
  text += "`";
  return text;
}

constexpr std::string_view kKindNameList =
    "`ClickButton`, `ToggleButton`, `ConfirmButton`, `PressButton`, `DirectionalButton`, "
    "`Joystick`";

/// Position of a map key that names no field.
constexpr std::size_t kUnknownField = std::numeric_limits<std::size_t>::max();

/// Nearest 32-bit float, overflowing to an infinity and keeping a NaN's sign.
float narrow(double d) {
  constexpr double kMax = FLT_MAX;
  // Half an ulp above FLT_MAX rounds (to even) to infinity.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (std::isfinite(d) && std::fabs(d) > kMax) {
    const float limit =
        std::fabs(d) >= kOverflow ? std::numeric_limits<float>::infinity() : FLT_MAX;
    return d < 0 ? -limit : limit;
  }
  return static_cast<float>(d);
}

/// Finds the kind whose name the scratch buffer holds.
bool kind_by_name(const mp::Scratch& name, WidgetKind& kind) {
  auto is = [&](WidgetKind k) {
    if (!name.equals(kWidgetKindNames[static_cast<std::size_t>(k)])) return false;
    kind = k;
    return true;
  };
  switch (name.view().size()) {
    case 8:
      return is(WidgetKind::Joystick);
    case 11:
      return is(WidgetKind::ClickButton) || is(WidgetKind::PressButton);
    case 12:
      return is(WidgetKind::ToggleButton);
    case 13:
      return is(WidgetKind::ConfirmButton);
    case 17:
      return is(WidgetKind::DirectionalButton);
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------------------
// The decoder: one member function per kind of position in a frame. Each reads one value
// and returns false once the reader holds the error.

class Decoder {
 public:
  Decoder(const char* data, std::size_t size) : r_(data, size) {}

  Reader& reader() { return r_; }

  /// A record (Frame, a kind body, Coord) as an array, a map or a binary.
  template <class Rec>
  bool record(typename Rec::Value& out);
  /// The elements of a record given as an array of n elements.
  template <class Rec>
  bool elements(uint32_t n, typename Rec::Value& out);
  /// A record in a form other than a fixarray, whose marker `m` was peeked at.
  template <class Rec>
  [[gnu::noinline]] bool record_other(uint8_t m, typename Rec::Value& out);

  bool u8(uint8_t& out);
  bool boolean(bool& out);
  bool f32(float& out);
  bool widget(WidgetRegistry& out);

  [[gnu::cold]] bool invalid_type(std::string_view unexpected, std::string_view expected) {
    return r_.fail("invalid type: " + std::string(unexpected) + ", expected " +
                   std::string(expected));
  }

 private:
  bool kind_identifier(WidgetKind& kind);
  bool body(WidgetKind kind, WidgetRegistry& out);
  bool field_key(std::span<const std::string_view> names, std::size_t& index);
  /// Which of `names` the key in the scratch buffer is.
  bool find_field(std::span<const std::string_view> names, std::size_t& index);
  bool skip();

  // Failures. The value whose marker is `m` has only been peeked at; describing it reads
  // as much of it as the description needs.
  [[gnu::cold, gnu::noinline]] bool describe(uint8_t m, std::string& out);
  [[gnu::cold, gnu::noinline]] bool invalid_type_of(uint8_t m, std::string_view expected);
  [[gnu::cold, gnu::noinline]] bool scalar_mismatch(uint8_t m, std::string_view expected);
  [[gnu::cold]] bool invalid_value(std::string_view unexpected, std::string_view expected) {
    return r_.fail("invalid value: " + std::string(unexpected) + ", expected " +
                   std::string(expected));
  }
  [[gnu::cold]] bool invalid_length(uint64_t found, std::string_view expected) {
    return r_.fail("invalid length " + std::to_string(found) + ", expected " +
                   std::string(expected));
  }
  [[gnu::cold]] bool length_mismatch(uint64_t n) {
    return r_.fail("array had incorrect length, expected " + std::to_string(n));
  }
  [[gnu::cold]] bool wrong_marker(uint8_t m) {
    return r_.fail("wrong msgpack marker " + mp::marker_name(m));
  }
  [[gnu::cold]] bool missing_field(std::string_view name) {
    return r_.fail("missing field `" + std::string(name) + "`");
  }
  [[gnu::cold]] bool duplicate_field(std::string_view name) {
    return r_.fail("duplicate field `" + std::string(name) + "`");
  }
  [[gnu::cold]] bool unknown_variant(std::string_view name) {
    return r_.fail("unknown variant `" + std::string(name) + "`, expected one of " +
                   std::string(kKindNameList));
  }
  [[gnu::cold]] bool invalid_utf8(const utf8::Utf8Error& e) {
    return r_.fail("string found to be invalid utf8: " + e.text());
  }

  Reader r_;
};

// Record descriptions: the names messages use, the field names by position, how a field
// is read from the input, and how it is taken from one byte of a binary.

struct FrameRecord {
  using Value = Frame;
  static constexpr std::string_view kPlain = "struct Frame";
  static constexpr std::string_view kCounted = "struct Frame with 2 elements";
  static constexpr std::array<std::string_view, 2> kFields = {"id", "data"};
  static bool field(Decoder& d, std::size_t i, Value& v) {
    return i == 0 ? d.u8(v.id) : d.widget(v.data);
  }
  static bool byte(Decoder& d, std::size_t i, uint8_t b, Value& v) {
    if (i == 0) {
      v.id = b;
      return true;
    }
    return d.invalid_type(integer_text(uint64_t{b}), "enum WidgetRegistry");
  }
};

struct CoordRecord {
  using Value = Coord;
  static constexpr std::string_view kPlain = "struct Coord";
  static constexpr std::string_view kCounted = "struct Coord with 2 elements";
  static constexpr std::array<std::string_view, 2> kFields = {"x", "y"};
  static bool field(Decoder& d, std::size_t i, Value& v) { return d.f32(i == 0 ? v.x : v.y); }
  static bool byte(Decoder&, std::size_t i, uint8_t b, Value& v) {
    (i == 0 ? v.x : v.y) = b;
    return true;
  }
};

/// The body of a kind without fields.
template <class Kind, const char* Plain>
struct EmptyBody {
  using Value = Kind;
  static constexpr std::string_view kPlain = Plain;
  static constexpr std::string_view kCounted = Plain;  // never used: nothing can be missing
  static constexpr std::array<std::string_view, 0> kFields = {};
  static bool field(Decoder&, std::size_t, Value&) { return true; }
  static bool byte(Decoder&, std::size_t, uint8_t, Value&) { return true; }
};
constexpr char kClickPlain[] = "struct variant WidgetRegistry::ClickButton";
constexpr char kConfirmPlain[] = "struct variant WidgetRegistry::ConfirmButton";
using ClickBody = EmptyBody<widget::ClickButton, kClickPlain>;
using ConfirmBody = EmptyBody<widget::ConfirmButton, kConfirmPlain>;

/// The body of a kind with one boolean field.
template <class Kind, bool Kind::*Member, const char* Plain, const char* Counted, const char* Field>
struct BoolBody {
  using Value = Kind;
  static constexpr std::string_view kPlain = Plain;
  static constexpr std::string_view kCounted = Counted;
  static constexpr std::array<std::string_view, 1> kFields = {Field};
  static bool field(Decoder& d, std::size_t, Value& v) { return d.boolean(v.*Member); }
  static bool byte(Decoder& d, std::size_t, uint8_t b, Value&) {
    return d.invalid_type(integer_text(uint64_t{b}), "a boolean");
  }
};
constexpr char kTogglePlain[] = "struct variant WidgetRegistry::ToggleButton";
constexpr char kToggleCounted[] = "struct variant WidgetRegistry::ToggleButton with 1 element";
constexpr char kToggleField[] = "value";
constexpr char kPressPlain[] = "struct variant WidgetRegistry::PressButton";
constexpr char kPressCounted[] = "struct variant WidgetRegistry::PressButton with 1 element";
constexpr char kPressField[] = "pressed";
using ToggleBody = BoolBody<widget::ToggleButton, &widget::ToggleButton::value, kTogglePlain,
                            kToggleCounted, kToggleField>;
using PressBody = BoolBody<widget::PressButton, &widget::PressButton::pressed, kPressPlain,
                           kPressCounted, kPressField>;

struct DirectionalBody {
  using Value = widget::DirectionalButton;
  static constexpr std::string_view kPlain = "struct variant WidgetRegistry::DirectionalButton";
  static constexpr std::string_view kCounted =
      "struct variant WidgetRegistry::DirectionalButton with 1 element";
  static constexpr std::array<std::string_view, 1> kFields = {"direction"};
  static bool field(Decoder& d, std::size_t, Value& v) { return d.u8(v.direction); }
  static bool byte(Decoder&, std::size_t, uint8_t b, Value& v) {
    v.direction = b;
    return true;
  }
};

struct JoystickBody {
  using Value = widget::Joystick;
  static constexpr std::string_view kPlain = "struct variant WidgetRegistry::Joystick";
  static constexpr std::string_view kCounted =
      "struct variant WidgetRegistry::Joystick with 2 elements";
  static constexpr std::array<std::string_view, 2> kFields = {"delta", "intensity"};
  static bool field(Decoder& d, std::size_t i, Value& v) {
    return i == 0 ? d.record<CoordRecord>(v.delta) : d.f32(v.intensity);
  }
  static bool byte(Decoder& d, std::size_t i, uint8_t b, Value& v) {
    if (i == 0) return d.invalid_type(integer_text(uint64_t{b}), "struct Coord");
    v.intensity = b;
    return true;
  }
};

template <class Rec>
bool Decoder::record(typename Rec::Value& out) {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  if ((m & 0xf0) == 0x90) [[likely]] {  // fixarray, the canonical form
    r_.skip_marker();
    return elements<Rec>(m & 0x0f, out);
  }
  return record_other<Rec>(m, out);
}

template <class Rec>
bool Decoder::elements(uint32_t n, typename Rec::Value& out) {
  constexpr std::size_t kCount = Rec::kFields.size();
  Reader::DepthGuard depth(r_);
  if (!depth) return false;
  const std::size_t present = n < kCount ? n : kCount;
  for (std::size_t i = 0; i < present; ++i) {
    if (!Rec::field(*this, i, out)) return false;
  }
  if (n < kCount) [[unlikely]]
    return invalid_length(n, Rec::kCounted);
  if (n > kCount) [[unlikely]]
    return length_mismatch(kCount);
  return true;
}

template <class Rec>
bool Decoder::record_other(uint8_t m, typename Rec::Value& out) {
  constexpr std::size_t kCount = Rec::kFields.size();
  const char* p;
  switch (mp::kMarkers[m].family) {
    case Family::Array:
      if (!r_.take_head(m, p)) return false;
      return elements<Rec>(mp_decode_array(&p), out);
    case Family::Map: {
      if (!r_.take_head(m, p)) return false;
      const uint32_t n = mp_decode_map(&p);
      Reader::DepthGuard depth(r_);
      if (!depth) return false;
      std::array<bool, kCount> seen{};
      for (uint32_t entry = 0; entry < n; ++entry) {
        std::size_t i;
        if (!field_key(Rec::kFields, i)) return false;
        if (i == kUnknownField) {
          if (!skip()) return false;
          continue;
        }
        if constexpr (kCount != 0) {
          if (seen[i]) return duplicate_field(Rec::kFields[i]);
          seen[i] = true;
          if (!Rec::field(*this, i, out)) return false;
        }
      }
      for (std::size_t i = 0; i < kCount; ++i) {
        if (!seen[i]) return missing_field(Rec::kFields[i]);
      }
      return true;
    }
    case Family::Bin: {
      // The bytes stand for a sequence of small unsigned integers. Bytes beyond the
      // record's fields are not looked at.
      if (!r_.take_head(m, p)) return false;
      const uint32_t len = mp_decode_binl(&p);
      std::string_view bytes;
      if (!r_.content(len, bytes)) return false;
      const std::size_t present = len < kCount ? len : kCount;
      for (std::size_t i = 0; i < present; ++i) {
        if (!Rec::byte(*this, i, static_cast<uint8_t>(bytes[i]), out)) return false;
      }
      if (len < kCount) return invalid_length(len, Rec::kCounted);
      return true;
    }
    default:
      return invalid_type_of(m, Rec::kPlain);
  }
}

bool Decoder::u8(uint8_t& out) {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  const char* p;
  if (m < 0x80) [[likely]] {  // positive fixint
    out = m;
    return r_.take(1, p);
  }
  switch (mp::kMarkers[m].family) {
    case Family::Uint: {
      if (!r_.take_head(m, p)) return false;
      const uint64_t v = mp_decode_uint(&p);
      if (v > 255) return invalid_value(integer_text(v), "u8");
      out = static_cast<uint8_t>(v);
      return true;
    }
    case Family::NegFixint:
    case Family::Int: {
      if (!r_.take_head(m, p)) return false;
      const int64_t v = mp_decode_int(&p);
      if (v < 0 || v > 255) return invalid_value(integer_text(v), "u8");
      out = static_cast<uint8_t>(v);
      return true;
    }
    default:
      return scalar_mismatch(m, "u8");
  }
}

bool Decoder::boolean(bool& out) {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  if ((m & 0xfe) != 0xc2) [[unlikely]]
    return scalar_mismatch(m, "a boolean");
  out = m == 0xc3;
  const char* p;
  return r_.take(1, p);
}

bool Decoder::f32(float& out) {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  const char* p;
  if (m == 0xca) [[likely]] {
    if (!r_.take(5, p)) return false;
    out = mp_decode_float(&p);
    return true;
  }
  switch (mp::kMarkers[m].family) {
    case Family::PosFixint:
    case Family::Uint:
      if (!r_.take_head(m, p)) return false;
      out = static_cast<float>(mp_decode_uint(&p));
      return true;
    case Family::NegFixint:
    case Family::Int:
      if (!r_.take_head(m, p)) return false;
      out = static_cast<float>(mp_decode_int(&p));
      return true;
    case Family::F32:
      if (!r_.take_head(m, p)) return false;
      out = mp_decode_float(&p);
      return true;
    case Family::F64:
      if (!r_.take_head(m, p)) return false;
      out = narrow(mp_decode_double(&p));
      return true;
    default:
      return scalar_mismatch(m, "f32");
  }
}

bool Decoder::widget(WidgetRegistry& out) {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  WidgetKind kind;
  if (mp::kMarkers[m].family == Family::Map) {
    // The kind map holds exactly one entry, kind identifier to body. It takes no depth.
    const char* p;
    if (!r_.take_head(m, p)) return false;
    const uint32_t n = m == 0x81 ? 1 : mp_decode_map(&p);
    if (n != 1) [[unlikely]]
      return length_mismatch(n);
    if (!kind_identifier(kind)) return false;
    return body(kind, out);
  }
  // A bare identifier names a kind without its body; every kind has one.
  if (!kind_identifier(kind)) return false;
  return invalid_type("unit variant", "struct variant");
}

bool Decoder::kind_identifier(WidgetKind& kind) {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  const char* p;
  if ((m & 0xe0) == 0xa0) [[likely]] {  // fixstr
    r_.skip_marker();
    std::string_view name;
    if (!r_.content(m & 0x1f, name)) return false;
    if (kind_by_name(r_.scratch(), kind)) [[likely]]
      return true;
    if (auto error = utf8::check(name)) return invalid_utf8(*error);
    return unknown_variant(name);
  }
  switch (mp::kMarkers[m].family) {
    case Family::Str: {
      if (!r_.take_head(m, p)) return false;
      std::string_view name;
      if (!r_.content(mp_decode_strl(&p), name)) return false;
      if (kind_by_name(r_.scratch(), kind)) return true;
      if (auto error = utf8::check(name)) return invalid_utf8(*error);
      return unknown_variant(name);
    }
    case Family::Bin: {
      if (!r_.take_head(m, p)) return false;
      std::string_view name;
      if (!r_.content(mp_decode_binl(&p), name)) return false;
      if (kind_by_name(r_.scratch(), kind)) return true;
      return unknown_variant(utf8::lossy(name));
    }
    case Family::PosFixint:
    case Family::Uint: {
      if (!r_.take_head(m, p)) return false;
      const uint64_t index = mp_decode_uint(&p);
      if (index >= kWidgetKindCount) {
        return invalid_value(integer_text(index), "variant index 0 <= i < 6");
      }
      kind = static_cast<WidgetKind>(index);
      return true;
    }
    default:
      return invalid_type_of(m, "variant identifier");
  }
}

bool Decoder::body(WidgetKind kind, WidgetRegistry& out) {
  auto read = [&]<class Body>(Body*) {
    return record<Body>(out.value.template emplace<typename Body::Value>());
  };
  switch (kind) {
    case WidgetKind::ClickButton:
      return read(static_cast<ClickBody*>(nullptr));
    case WidgetKind::ToggleButton:
      return read(static_cast<ToggleBody*>(nullptr));
    case WidgetKind::ConfirmButton:
      return read(static_cast<ConfirmBody*>(nullptr));
    case WidgetKind::PressButton:
      return read(static_cast<PressBody*>(nullptr));
    case WidgetKind::DirectionalButton:
      return read(static_cast<DirectionalBody*>(nullptr));
    case WidgetKind::Joystick:
      return read(static_cast<JoystickBody*>(nullptr));
  }
  return false;
}

bool Decoder::field_key(std::span<const std::string_view> names, std::size_t& index) {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  const char* p;
  std::string_view key;
  if ((m & 0xe0) == 0xa0) [[likely]] {  // fixstr
    r_.skip_marker();
    if (!r_.content(m & 0x1f, key)) return false;
    return find_field(names, index);
  }
  switch (mp::kMarkers[m].family) {
    case Family::Str:
      if (!r_.take_head(m, p) || !r_.content(mp_decode_strl(&p), key)) return false;
      break;
    case Family::Bin:
      if (!r_.take_head(m, p) || !r_.content(mp_decode_binl(&p), key)) return false;
      break;
    case Family::PosFixint:
    case Family::Uint: {
      if (!r_.take_head(m, p)) return false;
      const uint64_t position = mp_decode_uint(&p);
      index = position < names.size() ? static_cast<std::size_t>(position) : kUnknownField;
      return true;
    }
    default:
      return invalid_type_of(m, "field identifier");
  }
  return find_field(names, index);
}

bool Decoder::find_field(std::span<const std::string_view> names, std::size_t& index) {
  // Compared as bytes: a key that is not UTF-8 names no field and is skipped.
  index = kUnknownField;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (r_.scratch().equals(names[i])) index = i;
  }
  return true;
}

bool Decoder::skip() {
  uint8_t m;
  if (!r_.peek_marker(m)) return false;
  const char* p;
  switch (mp::kMarkers[m].family) {
    case Family::PosFixint:
    case Family::NegFixint:
    case Family::Nil:
    case Family::Bool:
    case Family::Uint:
    case Family::Int:
    case Family::F32:
    case Family::F64:
      return r_.take_head(m, p);
    case Family::Str:
      return r_.take_head(m, p) && r_.skip_content(mp_decode_strl(&p));
    case Family::Bin:
      return r_.take_head(m, p) && r_.skip_content(mp_decode_binl(&p));
    case Family::Array: {
      if (!r_.take_head(m, p)) return false;
      const uint32_t n = mp_decode_array(&p);
      Reader::DepthGuard depth(r_);
      if (!depth) return false;
      for (uint32_t i = 0; i < n; ++i) {
        if (!skip()) return false;
      }
      return true;
    }
    case Family::Map: {
      if (!r_.take_head(m, p)) return false;
      const uint64_t n = mp_decode_map(&p);
      Reader::DepthGuard depth(r_);
      if (!depth) return false;
      for (uint64_t i = 0; i < 2 * n; ++i) {
        if (!skip()) return false;
      }
      return true;
    }
    case Family::FixExt:
    case Family::Ext: {
      if (!r_.take_head(m, p)) return false;
      uint32_t size;
      ++p;
      switch (m) {
        case 0xc7:
          size = mp_load_u8(&p);
          break;
        case 0xc8:
          size = mp_load_u16(&p);
          break;
        case 0xc9:
          size = mp_load_u32(&p);
          break;
        default:
          size = 1u << (m - 0xd4);
          break;  // d4..d8: 1, 2, 4, 8, 16
      }
      Reader::DepthGuard depth(r_);
      if (!depth) return false;
      const char* type;
      return r_.take(1, type) && r_.skip_content(size);
    }
    case Family::Reserved:
      break;
  }
  return wrong_marker(m);
}

bool Decoder::describe(uint8_t m, std::string& out) {
  const char* p;
  switch (mp::kMarkers[m].family) {
    case Family::PosFixint:
    case Family::Uint:
      if (!r_.take_head(m, p)) return false;
      out = integer_text(mp_decode_uint(&p));
      return true;
    case Family::NegFixint:
    case Family::Int:
      if (!r_.take_head(m, p)) return false;
      out = integer_text(mp_decode_int(&p));
      return true;
    case Family::Nil:
      out = "unit value";
      return r_.take(1, p);
    case Family::Bool:
      out = m == 0xc3 ? "boolean `true`" : "boolean `false`";
      return r_.take(1, p);
    case Family::F32:
      if (!r_.take_head(m, p)) return false;
      out = float_text(mp_decode_float(&p));
      return true;
    case Family::F64:
      if (!r_.take_head(m, p)) return false;
      out = float_text(mp_decode_double(&p));
      return true;
    case Family::Str: {
      if (!r_.take_head(m, p)) return false;
      std::string_view text;
      if (!r_.content(mp_decode_strl(&p), text)) return false;
      if (auto error = utf8::check(text)) return invalid_utf8(*error);
      out = "string " + utf8::quoted(text);
      return true;
    }
    case Family::Bin: {
      if (!r_.take_head(m, p)) return false;
      std::string_view bytes;
      if (!r_.content(mp_decode_binl(&p), bytes)) return false;
      out = "byte array";
      return true;
    }
    case Family::Array:
    case Family::Map:
    case Family::FixExt:
    case Family::Ext: {
      // A container is entered (its length read, a level of depth taken) before it is
      // found to be the wrong kind of value.
      if (!r_.take_head(m, p)) return false;
      Reader::DepthGuard depth(r_);
      if (!depth) return false;
      const Family family = mp::kMarkers[m].family;
      out = family == Family::Array ? "sequence" : family == Family::Map ? "map" : "newtype struct";
      return true;
    }
    case Family::Reserved:
      break;
  }
  return wrong_marker(m);
}

bool Decoder::invalid_type_of(uint8_t m, std::string_view expected) {
  std::string unexpected;
  if (!describe(m, unexpected)) return false;
  return invalid_type(unexpected, expected);
}

bool Decoder::scalar_mismatch(uint8_t m, std::string_view expected) {
  switch (mp::kMarkers[m].family) {
    case Family::PosFixint:
    case Family::NegFixint:
    case Family::Nil:
    case Family::Bool:
    case Family::Uint:
    case Family::Int:
    case Family::F32:
    case Family::F64:
      return invalid_type_of(m, expected);
    default:
      return wrong_marker(m);
  }
}

}  // namespace

Result<ParsedFrame, DecodeError> Frame::parse(const char* data, std::size_t size) {
  // The frame is decoded in place in the returned object: copying it out of a local after
  // its fields were written one by one would cost more than the decoding itself.
  Result<ParsedFrame, DecodeError> out{ParsedFrame{}};
  Decoder decoder(data, size);
  if (decoder.record<FrameRecord>(out.value().frame)) {
    out.value().used = decoder.reader().used();
  } else {
    out = Err{std::move(decoder.reader().error())};
  }
  return out;
}

std::string Frame::identity() const { return identity_key(data.name(), id); }

}  // namespace velto::base
