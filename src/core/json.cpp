#include "core/json.h"

#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>
#include <array>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "core/text.h"

namespace velk {
namespace {

constexpr size_t kMaxDepth = 128;

// ---- canonical serialiser ----

Error canonical_error(std::string message) {
  return make_error(ErrorKind::integrity_mismatch, std::move(message));
}

// Member names sort by UTF-16 code units, which differs from code point (and
// UTF-8 byte) order for characters from U+E000 up against astral ones.
std::u16string utf16_units(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (const char32_t c : utf8_code_points(text)) {
    if (c >= 0x10000) {
      const char32_t v = c - 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

// Refuses text that is not UTF-8 rather than converting it: a lossy
// conversion would give two different values the same bytes (and the same
// digest), and could turn two distinct member names into one.
Status write_string(std::string& out, std::string_view text) {
  if (!is_valid_utf8(text))
    return canonical_error("canonical JSON holds only UTF-8 text; a string is not valid UTF-8");
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
  return {};
}

Status write_canonical(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      return {};
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return {};
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<uint64_t>());
      return {};
    case Json::value_t::number_integer:
      out += std::to_string(value.get<int64_t>());
      return {};
    case Json::value_t::number_float:
      return canonical_error(
          "canonical JSON in this kernel is integer-only; a floating-point value has no defined "
          "spelling here");
    case Json::value_t::string:
      return write_string(out, value.get_ref<const std::string&>());
    case Json::value_t::array: {
      out.push_back('[');
      bool first = true;
      for (const Json& element : value) {
        if (!first) out.push_back(',');
        first = false;
        VELK_TRY(write_canonical(out, element));
      }
      out.push_back(']');
      return {};
    }
    case Json::value_t::object: {
      // The names are listed and sorted first; each value is then looked up
      // by name (through an index, as the object's own lookup is linear).
      std::vector<std::pair<std::u16string, const std::string*>> names;
      std::unordered_map<std::string_view, const Json*> by_name;
      names.reserve(value.size());
      by_name.reserve(value.size());
      for (const auto& [name, member] : value.items()) {
        names.emplace_back(utf16_units(name), &name);
        by_name.emplace(name, &member);
      }
      std::sort(names.begin(), names.end(),
                [](const auto& a, const auto& b) { return a.first < b.first; });
      out.push_back('{');
      bool first = true;
      for (const auto& [units, name] : names) {
        const auto found = by_name.find(*name);
        if (found == by_name.end())
          return canonical_error("object member disappeared between key listing and lookup");
        if (!first) out.push_back(',');
        first = false;
        VELK_TRY(write_string(out, *name));
        out.push_back(':');
        VELK_TRY(write_canonical(out, *found->second));
      }
      out.push_back('}');
      return {};
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return canonical_error("canonical JSON has no spelling for binary data or a discarded value");
}

// ---- strict reader ----

// SipHash-1-3 of a member name under a key drawn once per process: the
// duplicate-member index stays linear whatever names a document holds.
uint64_t name_hash(std::string_view name) {
  static const std::array<uint64_t, 2> key = [] {
    std::array<uint64_t, 2> k{};
    if (::getrandom(k.data(), sizeof k, 0) != static_cast<ssize_t>(sizeof k)) {
      k[0] = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
      k[1] = reinterpret_cast<uintptr_t>(&k) ^ static_cast<uint64_t>(::getpid());
    }
    return k;
  }();
  const auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
  uint64_t v0 = 0x736f6d6570736575ULL ^ key[0], v1 = 0x646f72616e646f6dULL ^ key[1];
  uint64_t v2 = 0x6c7967656e657261ULL ^ key[0], v3 = 0x7465646279746573ULL ^ key[1];
  const auto round = [&] {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  };
  const size_t whole = name.size() & ~size_t{7};
  for (size_t i = 0; i < whole; i += 8) {
    uint64_t m;
    std::memcpy(&m, name.data() + i, 8);
    v3 ^= m;
    round();
    v0 ^= m;
  }
  uint64_t last = static_cast<uint64_t>(name.size()) << 56;
  for (size_t i = whole; i < name.size(); ++i)
    last |= static_cast<uint64_t>(static_cast<unsigned char>(name[i])) << (8 * (i - whole));
  v3 ^= last;
  round();
  v0 ^= last;
  v2 ^= 0xff;
  round();
  round();
  round();
  return v0 ^ v1 ^ v2 ^ v3;
}

// Builds the value from the parser's events, refusing a repeated member
// within one object and nesting deeper than kMaxDepth. Returning false stops
// the parser at once.
//
// With a filter, the members of a top-level object that the filter does not
// name are read (their syntax, depth and repeated names checked as
// anywhere else) but never built, so a document padded with members the
// reader ignores costs no memory for them; and at most `max_values` values
// are built.
class StrictBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  StrictBuilder() = default;
  StrictBuilder(const std::vector<std::string_view>* keep, size_t max_values)
      : keep_(keep), max_values_(max_values) {}

  Json root;
  std::string error;

  bool null() { return put(Json(nullptr)); }
  bool boolean(bool v) { return put(Json(v)); }
  bool number_integer(number_integer_t v) { return put(Json(v)); }
  bool number_unsigned(number_unsigned_t v) { return put(Json(v)); }
  bool number_float(number_float_t v, const string_t&) { return put(Json(v)); }
  bool string(string_t& v) { return skipping() ? skip_scalar() : put(Json(std::move(v))); }
  bool binary(binary_t& v) { return put(Json::binary(std::move(v))); }

  bool start_object(std::size_t) { return skipping() ? skip_open(true) : open(Json::object()); }
  bool start_array(std::size_t) { return skipping() ? skip_open(false) : open(Json::array()); }
  bool end_object() { return skipping() ? skip_close() : close(); }
  bool end_array() { return skipping() ? skip_close() : close(); }

  bool key(string_t& name) {
    if (skipping()) {
      if (!skipped_.back()) return true;  // an array does not name its items
      if (!skipped_.back()->insert(name).second) return duplicate(name);
      return true;
    }
    if (stack_.back().has(name) || (stack_.size() == 1 && passed_over_.count(name) != 0))
      return duplicate(name);
    if (keep_ && stack_.size() == 1 && stack_.back().value->is_object() &&
        std::find(keep_->begin(), keep_->end(), name) == keep_->end()) {
      // A member the reader does not define: its value is read, not built.
      passed_over_.insert(std::move(name));
      skip_pending_ = true;
      return true;
    }
    key_ = std::move(name);
    return true;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& ex) {
    // The library quotes the bytes it last read, which may be invalid UTF-8.
    error = lossy_utf8(ex.what());
    // Drop the library's "[json.exception.parse_error.101] " prefix.
    if (!error.empty() && error.front() == '[') {
      const size_t end = error.find("] ");
      if (end != std::string::npos) error.erase(0, end + 2);
    }
    return false;
  }

 private:
  // An open container. For an object, the names it holds so far: a small
  // object is searched member by member; past kIndexedFrom members an
  // open-addressed table of member positions answers instead. Positions stay
  // valid as the members grow (they are only appended), so the table is
  // rebuilt only when it doubles; names are hashed with a key chosen per
  // process, so a document cannot be made of names that all collide.
  struct Open {
    static constexpr size_t kIndexedFrom = 16;
    Json* value;
    std::vector<uint32_t> slots = {};  // position + 1 of a member, 0 when empty
    size_t indexed = 0;           // members entered in the table so far

    bool has(const std::string& name) {
      const auto& members = value->get_ref<const Json::object_t&>();
      if (members.size() < kIndexedFrom) {
        for (const auto& member : members)
          if (member.first == name) return true;
        return false;
      }
      if (slots.size() < 2 * (members.size() + 1)) {  // keep it at most half full
        slots.assign(std::max<size_t>(64, std::bit_ceil(4 * members.size())), 0);
        indexed = 0;
      }
      const size_t mask = slots.size() - 1;
      const auto* member = members.data();  // by position: the map's [] takes a name
      for (; indexed < members.size(); ++indexed) {
        size_t at = name_hash(member[indexed].first) & mask;
        while (slots[at] != 0) at = (at + 1) & mask;
        slots[at] = static_cast<uint32_t>(indexed + 1);
      }
      for (size_t at = name_hash(name) & mask; slots[at] != 0; at = (at + 1) & mask)
        if (member[slots[at] - 1].first == name) return true;
      return false;
    }
  };

  // Places a value in the innermost open container (or as the document) and
  // returns where it now lives. Only the innermost container grows, so the
  // pointers held for the enclosing ones stay valid.
  Json* place(Json&& v) {
    if (stack_.empty()) {
      root = std::move(v);
      return &root;
    }
    Json& top = *stack_.back().value;
    if (top.is_array()) {
      top.push_back(std::move(v));
      return &top.back();
    }
    // The key is new (the duplicate check saw to that), so it is appended
    // as it is: the object's own insertion looks for the key first, which
    // would make reading an object quadratic in its members.
    auto& members = top.get_ref<Json::object_t&>();
    using Storage = std::vector<Json::object_t::value_type, Json::object_t::allocator_type>;
    static_cast<Storage&>(members).emplace_back(std::move(key_), std::move(v));
    return &members.back().second;
  }

  bool duplicate(const std::string& name) {
    error = "duplicate field `" + name + "`";
    return false;
  }

  bool too_many() {
    error = "the document holds more than " + std::to_string(max_values_) +
            " values, more than this reader builds";
    return false;
  }

  bool put(Json&& v) {
    if (skipping()) return skip_scalar();
    if (++built_ > max_values_) return too_many();
    place(std::move(v));
    return true;
  }

  bool open(Json&& container) {
    if (stack_.size() >= kMaxDepth) {
      error = "nesting is deeper than 128 levels";
      return false;
    }
    if (++built_ > max_values_) return too_many();
    Json* where = place(std::move(container));
    stack_.push_back(Open{where});
    return true;
  }

  bool close() {
    stack_.pop_back();
    return true;
  }

  // Reading a value that is not built: the pending member's, from its first
  // event to its last.
  bool skipping() const { return skip_pending_ || !skipped_.empty(); }

  bool skip_scalar() {
    if (skipped_.empty()) skip_pending_ = false;  // the member's whole value
    return true;
  }

  bool skip_open(bool object) {
    if (stack_.size() + skipped_.size() >= kMaxDepth) {
      error = "nesting is deeper than 128 levels";
      return false;
    }
    skip_pending_ = false;
    skipped_.push_back(object ? std::optional<std::unordered_set<std::string>>(std::in_place)
                              : std::nullopt);
    return true;
  }

  bool skip_close() {
    skipped_.pop_back();
    return true;
  }

  std::vector<Open> stack_;
  std::string key_;
  const std::vector<std::string_view>* keep_ = nullptr;
  size_t max_values_ = ~size_t{0};
  size_t built_ = 0;
  // The top-level members read without being built, for the repeated-name
  // check, and the containers open inside the one being read now (the
  // names of each object's members so far; none for an array).
  std::unordered_set<std::string> passed_over_;
  bool skip_pending_ = false;
  std::vector<std::optional<std::unordered_set<std::string>>> skipped_;
};

// A direct reader for what documents usually hold: it walks the text once
// and hands the same events to the builder as the library's parser would.
// It handles objects, arrays, strings (with every escape and UTF-8 checked
// as the library checks it), true, false, null and integers that fit 64
// bits; anything else (a fraction or exponent, an integer too large, a byte
// order mark, any fault) makes it give up, and the library's parser then
// reads the document from the start, so a value it accepts is the one the
// library would build and every error is the library's own.
class DirectReader {
 public:
  DirectReader(std::string_view text, StrictBuilder& builder)
      : text_(text), p_(text.data()), end_(text.data() + text.size()), builder_(builder) {}

  bool read() {
    skip_space();
    if (!value()) return false;
    skip_space();
    return p_ == end_;
  }

 private:
  static bool is_digit(char c) { return c >= '0' && c <= '9'; }

  void skip_space() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool value() {
    if (p_ == end_) return false;
    switch (*p_) {
      case '{': return object();
      case '[': return array();
      case '"': {
        std::string text;
        return string(text) && builder_.string(text);
      }
      case 't': return literal("true") && builder_.boolean(true);
      case 'f': return literal("false") && builder_.boolean(false);
      case 'n': return literal("null") && builder_.null();
      default: return (*p_ == '-' || is_digit(*p_)) && number();
    }
  }

  bool literal(std::string_view word) {
    if (static_cast<size_t>(end_ - p_) < word.size() ||
        std::string_view(p_, word.size()) != word)
      return false;
    p_ += word.size();
    return true;
  }

  // The builder refuses nesting deeper than it allows before this recurses.
  bool object() {
    ++p_;
    return builder_.start_object(0) && items('}', [&] { return member(); }) &&
           builder_.end_object();
  }

  bool array() {
    ++p_;
    return builder_.start_array(0) && items(']', [&] { return value(); }) &&
           builder_.end_array();
  }

  bool member() {
    if (p_ == end_ || *p_ != '"') return false;
    std::string name;
    if (!string(name) || !builder_.key(name)) return false;
    skip_space();
    if (p_ == end_ || *p_ != ':') return false;
    ++p_;
    skip_space();
    return value();
  }

  // The comma-separated items of a container up to its `close`.
  template <class Item>
  bool items(char close, Item item) {
    skip_space();
    if (p_ != end_ && *p_ == close) {
      ++p_;
      return true;
    }
    for (;;) {
      skip_space();
      if (!item()) return false;
      skip_space();
      if (p_ == end_) return false;
      if (*p_ == ',') {
        ++p_;
        continue;
      }
      if (*p_ != close) return false;
      ++p_;
      return true;
    }
  }

  bool string(std::string& out) {
    ++p_;
    const char* run = p_;
    for (;;) {
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out.append(run, p_);
        ++p_;
        return true;
      }
      if (c == '\\') {
        out.append(run, p_);
        if (!escape(out)) return false;
        run = p_;
      } else if (c < 0x20) {
        return false;
      } else if (c < 0x80) {
        ++p_;
      } else {
        const size_t length = utf8_sequence_length(text_, static_cast<size_t>(p_ - text_.data()));
        if (length == 0) return false;
        p_ += length;
      }
    }
  }

  bool hex4(uint32_t& unit) {
    if (end_ - p_ < 4) return false;
    unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = *p_++;
      uint32_t digit;
      if (is_digit(c)) digit = static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
      else return false;
      unit = unit << 4 | digit;
    }
    return true;
  }

  bool escape(std::string& out) {
    ++p_;
    if (p_ == end_) return false;
    switch (*p_++) {
      case '"': out.push_back('"'); return true;
      case '\\': out.push_back('\\'); return true;
      case '/': out.push_back('/'); return true;
      case 'b': out.push_back('\b'); return true;
      case 'f': out.push_back('\f'); return true;
      case 'n': out.push_back('\n'); return true;
      case 'r': out.push_back('\r'); return true;
      case 't': out.push_back('\t'); return true;
      case 'u': break;
      default: return false;
    }
    uint32_t code;
    if (!hex4(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low;
      if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
      p_ += 2;
      if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    append_utf8(out, code);
    return true;
  }

  // An integer: unsigned when not negative, as the library types it.
  bool number() {
    const bool negative = *p_ == '-';
    if (negative) ++p_;
    if (p_ == end_ || !is_digit(*p_)) return false;
    uint64_t magnitude = 0;
    if (*p_ == '0') {
      ++p_;
    } else {
      while (p_ != end_ && is_digit(*p_)) {
        const auto digit = static_cast<uint64_t>(*p_ - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) return false;
        magnitude = magnitude * 10 + digit;
        ++p_;
      }
    }
    if (p_ != end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E' || is_digit(*p_))) return false;
    if (!negative) return builder_.number_unsigned(magnitude);
    constexpr uint64_t kLowest = uint64_t{1} << 63;
    if (magnitude > kLowest) return false;
    const int64_t v = magnitude == kLowest ? INT64_MIN : -static_cast<int64_t>(magnitude);
    return builder_.number_integer(v);
  }

  std::string_view text_;
  const char* p_;
  const char* end_;
  StrictBuilder& builder_;
};

std::string field_type_error(std::string_view name, std::string_view expected,
                             std::string_view found) {
  return "invalid type for field `" + std::string(name) + "`: expected " + std::string(expected) +
         ", found " + std::string(found);
}

std::string missing_field(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

bool is_unsigned(const Json& v) {
  return v.is_number_unsigned() || (v.is_number_integer() && v.get<int64_t>() >= 0);
}

Mapped<std::vector<std::string>> string_list(const Json& list, std::string_view name) {
  constexpr std::string_view kWhat = "an array of strings";
  if (!list.is_array()) return field_type_error(name, kWhat, json_type_words(list));
  std::vector<std::string> out;
  out.reserve(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const Json& item = list[i];
    if (!item.is_string())
      return field_type_error(name, kWhat,
                              json_type_words(item) + " at index " + std::to_string(i));
    out.push_back(item.get<std::string>());
  }
  return out;
}

// The JSON library's strict reader over `text`: nullopt when it read a
// document into `builder`, otherwise its message.
std::optional<std::string> library_parse(std::string_view text, StrictBuilder& builder) {
  try {
    const bool ok = Json::sax_parse(text.begin(), text.end(), &builder,
                                    Json::input_format_t::json, /*strict=*/true);
    if (ok) return std::nullopt;
    if (builder.error.empty()) builder.error = "the document could not be read";
    return std::move(builder.error);
  } catch (const std::exception& ex) {
    return std::string(ex.what());
  }
}

}  // namespace

Result<std::string> canonical_json(const Json& value) {
  std::string out;
  VELK_TRY(write_canonical(out, value));
  return out;
}

namespace {

Result<Json, std::string> parse_strictly(std::string_view text,
                                         const std::vector<std::string_view>* keep,
                                         size_t max_values) {
  {
    StrictBuilder direct(keep, max_values);
    if (DirectReader(text, direct).read()) return std::move(direct.root);
  }
  StrictBuilder builder(keep, max_values);
  if (auto error = library_parse(text, builder)) return std::move(*error);
  // The library's reader takes a NUL byte for the end of the text, so a
  // document followed by one and anything at all would pass. A NUL it
  // accepted can only stand after the document (inside a string it is
  // refused), so the text is read again with that byte replaced by another
  // control character, for the library's own message about it.
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    std::string marked(text);
    marked[nul] = '\x01';
    StrictBuilder again(keep, max_values);
    std::string error = library_parse(marked, again).value_or("the document could not be read");
    if (const size_t at = error.rfind("<U+0001>"); at != std::string::npos)
      error.replace(at, 8, "<U+0000>");
    return error;
  }
  return std::move(builder.root);
}

}  // namespace

Result<Json, std::string> parse_json(std::string_view text) {
  return parse_strictly(text, nullptr, ~size_t{0});
}

Result<Json, std::string> parse_json_members(std::string_view text,
                                             const std::vector<std::string_view>& members,
                                             size_t max_values) {
  return parse_strictly(text, &members, max_values);
}

std::string compact_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json text_or_null(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

Mapped<const Json*> as_object(const Json& value) {
  if (!value.is_object())
    return "invalid type: expected an object, found " + json_type_words(value);
  return &value;
}

const Json* find_member(const Json& object, std::string_view name) {
  if (!object.is_object()) return nullptr;
  const auto it = object.find(std::string(name));
  return it == object.end() ? nullptr : &*it;
}

std::string json_type_words(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "a boolean";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned: return "an integer";
    case Json::value_t::number_float: return "a floating-point number";
    case Json::value_t::string: return "a string";
    case Json::value_t::array: return "an array";
    case Json::value_t::object: return "an object";
    case Json::value_t::binary: return "binary data";
    case Json::value_t::discarded: break;
  }
  return "a discarded value";
}

Mapped<std::string> field_string(const Json& object, std::string_view name) {
  // The value and the error are both texts, so each return names its side.
  const Json* v = find_member(object, name);
  if (v == nullptr) return {std::in_place_index<1>, missing_field(name)};
  if (!v->is_string())
    return {std::in_place_index<1>, field_type_error(name, "a string", json_type_words(*v))};
  return {std::in_place_index<0>, v->get<std::string>()};
}

Mapped<std::optional<std::string>> field_optional_string(const Json& object,
                                                         std::string_view name) {
  const Json* v = find_member(object, name);
  if (v == nullptr || v->is_null()) return std::optional<std::string>();
  if (!v->is_string()) return field_type_error(name, "a string", json_type_words(*v));
  return std::optional<std::string>(v->get<std::string>());
}

Mapped<uint64_t> field_u64(const Json& object, std::string_view name) {
  const Json* v = find_member(object, name);
  if (v == nullptr) return missing_field(name);
  if (!is_unsigned(*v)) return field_type_error(name, "an unsigned integer", json_type_words(*v));
  return v->get<uint64_t>();
}

Mapped<std::optional<uint64_t>> field_optional_u64(const Json& object, std::string_view name) {
  const Json* v = find_member(object, name);
  if (v == nullptr || v->is_null()) return std::optional<uint64_t>();
  if (!is_unsigned(*v)) return field_type_error(name, "an unsigned integer", json_type_words(*v));
  return std::optional<uint64_t>(v->get<uint64_t>());
}

Mapped<uint32_t> field_u32(const Json& object, std::string_view name) {
  VELK_ASSIGN(const uint64_t value, field_u64(object, name));
  if (value > 0xFFFFFFFFull)
    return "invalid value for field `" + std::string(name) + "`: " + std::to_string(value) +
           " does not fit 32 bits";
  return static_cast<uint32_t>(value);
}

Mapped<bool> field_bool(const Json& object, std::string_view name) {
  const Json* v = find_member(object, name);
  if (v == nullptr) return missing_field(name);
  if (!v->is_boolean()) return field_type_error(name, "a boolean", json_type_words(*v));
  return v->get<bool>();
}

Mapped<std::vector<std::string>> field_string_list(const Json& object, std::string_view name) {
  const Json* v = find_member(object, name);
  if (v == nullptr) return missing_field(name);
  return string_list(*v, name);
}

Mapped<std::vector<std::string>> field_optional_string_list(const Json& object,
                                                            std::string_view name) {
  const Json* v = find_member(object, name);
  if (v == nullptr || v->is_null()) return std::vector<std::string>();
  return string_list(*v, name);
}

}  // namespace velk
