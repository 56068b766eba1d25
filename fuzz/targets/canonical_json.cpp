// Canonical JSON (canonical_json) of documents the strict reader
// (parse_json) accepts. A value refuses exactly when it holds a
// floating-point number (an integrity_mismatch error); otherwise its bytes
// equal those of the small reference writer below (no white space, members
// in UTF-16 code-unit order, the fixed string escapes, integers only), parse
// back to an equal value, and are written again unchanged. The reader
// accepts what the library's own parser accepts, and builds the same value
// (member order and number types included), unless the document repeats a
// member or nests deeper than the reader allows; a repeated member it names
// is the first one the library's parser meets. No text that holds a NUL
// byte is accepted (the library's parser takes one for the end of the text).
#include <algorithm>
#include <set>

#include "core/json.h"
#include "support/fuzz_support.h"

using namespace velk;
using namespace velk::fuzz;

namespace {

bool holds_float(const Json& v) {
  if (v.is_number_float()) return true;
  if (v.is_array() || v.is_object())
    for (const Json& child : v)
      if (holds_float(child)) return true;
  return false;
}

std::u16string utf16(std::string_view s) {
  std::u16string out;
  for (size_t i = 0; i < s.size();) {
    const auto b = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (b < 0x80) {
      cp = b;
      n = 1;
    } else if (b < 0xE0) {
      cp = b & 0x1F;
      n = 2;
    } else if (b < 0xF0) {
      cp = b & 0x0F;
      n = 3;
    } else {
      cp = b & 0x07;
      n = 4;
    }
    for (size_t k = 1; k < n && i + k < s.size(); ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += n;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

void write_string(const std::string& s, std::string& out) {
  out += '"';
  for (const char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case 0x08: out += "\\b"; break;
      case 0x09: out += "\\t"; break;
      case 0x0A: out += "\\n"; break;
      case 0x0C: out += "\\f"; break;
      case 0x0D: out += "\\r"; break;
      default:
        if (c < 0x20) {
          static const char hex[] = "0123456789abcdef";
          out += "\\u00";
          out += hex[c >> 4];
          out += hex[c & 15];
        } else {
          out += ch;
        }
    }
  }
  out += '"';
}

void reference(const Json& v, std::string& out) {
  switch (v.type()) {
    case Json::value_t::null: out += "null"; return;
    case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    case Json::value_t::number_unsigned: out += std::to_string(v.get<uint64_t>()); return;
    case Json::value_t::number_integer: out += std::to_string(v.get<int64_t>()); return;
    case Json::value_t::string: write_string(v.get<std::string>(), out); return;
    case Json::value_t::array: {
      out += '[';
      bool first = true;
      for (const Json& e : v) {
        if (!first) out += ',';
        first = false;
        reference(e, out);
      }
      out += ']';
      return;
    }
    case Json::value_t::object: {
      std::vector<std::string> keys;
      for (auto it = v.begin(); it != v.end(); ++it) keys.push_back(it.key());
      std::sort(keys.begin(), keys.end(),
                [](const std::string& a, const std::string& b) { return utf16(a) < utf16(b); });
      out += '{';
      bool first = true;
      for (const std::string& k : keys) {
        if (!first) out += ',';
        first = false;
        write_string(k, out);
        out += ':';
        reference(v.find(k).value(), out);
      }
      out += '}';
      return;
    }
    default: fail("reference", "a value the reference writer does not take");
  }
}

// Equal as values: objects by their members whatever the order.
bool equal(const Json& a, const Json& b) {
  if (a.is_number() && b.is_number()) return a == b;
  if (a.type() != b.type()) return false;
  if (a.is_array()) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
      if (!equal(a[i], b[i])) return false;
    return true;
  }
  if (a.is_object()) {
    if (a.size() != b.size()) return false;
    for (auto it = a.begin(); it != a.end(); ++it) {
      const auto found = b.find(it.key());
      if (found == b.end() || !equal(it.value(), *found)) return false;
    }
    return true;
  }
  return a == b;
}

// The same value, member order and number types included.
bool identical(const Json& a, const Json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_array() || a.is_object()) {
    if (a.size() != b.size()) return false;
    auto x = a.begin();
    for (auto y = b.begin(); y != b.end(); ++x, ++y)
      if ((a.is_object() && x.key() != y.key()) || !identical(*x, *y)) return false;
    return true;
  }
  return a == b;
}

// The first member some object of the document repeats, as the library's
// parser meets them ("" when none does).
class FirstRepeat : public nlohmann::json_sax<Json> {
 public:
  std::string name;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return open(); }
  bool start_array(std::size_t) override { return open(); }
  bool end_object() override { return close(); }
  bool end_array() override { return close(); }
  bool key(string_t& k) override {
    if (names_.back().insert(k).second) return true;
    name = k;
    return false;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool open() {
    names_.emplace_back();
    return true;
  }
  bool close() {
    names_.pop_back();
    return true;
  }
  std::vector<std::set<std::string>> names_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = as_text(data, size);
  auto value = parse_json(text);
  const Json library = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (!value.ok()) {
    VELK_FUZZ_CHECK(!value.error().empty(), "a parse error without a message");
    // The library's parser stops at a NUL byte; the reader refuses it.
    const bool nul = text.find('\0') != std::string_view::npos;
    VELK_FUZZ_CHECK(library.is_discarded() || nul || value.error().rfind("duplicate field `", 0) == 0 ||
                        value.error() == "nesting is deeper than 128 levels",
                    "refused what the library's parser reads: " + value.error());
    if (value.error().rfind("duplicate field `", 0) == 0) {
      FirstRepeat repeat;
      Json::sax_parse(text.begin(), text.end(), &repeat, Json::input_format_t::json, false);
      VELK_FUZZ_CHECK(value.error() == "duplicate field `" + repeat.name + "`",
                      value.error() + " but the first repeated member is `" + repeat.name + "`");
    }
    return 0;
  }
  VELK_FUZZ_CHECK(text.find('\0') == std::string_view::npos, "accepted a text holding a NUL byte");
  VELK_FUZZ_CHECK(!library.is_discarded(), "accepted what the library's parser refuses");
  VELK_FUZZ_CHECK(identical(*value, library),
                  "read differently from the library's parser: " + compact_json(*value) + "\n" +
                      compact_json(library));
  auto bytes = canonical_json(*value);
  if (!bytes.ok()) {
    check_error_kind(bytes.error(), ErrorKind::integrity_mismatch);
    VELK_FUZZ_CHECK(holds_float(*value), "refused without a float: " + bytes.error().full());
    return 0;
  }
  VELK_FUZZ_CHECK(!holds_float(*value), "a float written: " + *bytes);
  std::string expected;
  reference(*value, expected);
  VELK_FUZZ_CHECK(*bytes == expected, *bytes + "\n" + expected);

  auto again = parse_json(*bytes);
  VELK_FUZZ_CHECK(again.ok(), again.ok() ? *bytes : again.error() + "\n" + *bytes);
  VELK_FUZZ_CHECK(equal(*value, *again), *bytes);
  auto bytes2 = canonical_json(*again);
  VELK_FUZZ_CHECK(bytes2.ok() && *bytes2 == *bytes, *bytes);
  return 0;
}
