// Canonical JSON (canonical_json) of documents the strict reader
// (parse_json) accepts. A value refuses exactly when it holds a
// floating-point number (an integrity_mismatch error); otherwise its bytes
// are the library's own compact writing of the value with every object's
// members in UTF-16 code-unit order, and they parse back to that value and
// are written again unchanged. The reader accepts what the library's own
// parser accepts, and builds the same value (member order and number types
// included), unless the document repeats a member or nests deeper than the
// reader allows; a repeated member it names is the first one the library's
// parser meets. No text that holds a NUL byte is accepted (the library's
// parser takes one for the end of the text).
#include <algorithm>
#include <set>

#include "core/json.h"
#include "core/text.h"
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

// A key that orders names as their UTF-16 code units do: a character past
// U+FFFF (a surrogate pair, from 0xD800) sorts after U+D7FF and before U+E000.
std::vector<uint32_t> utf16_order(const std::string& s) {
  std::vector<uint32_t> key;
  for (const char32_t c : utf8_code_points(s))
    key.push_back(c >= 0xE000 && c <= 0xFFFF ? c + 0x110000 : c);
  return key;
}

// The value with every object's members in UTF-16 order.
Json sorted(const Json& v) {
  if (v.is_array()) {
    Json out = Json::array();
    for (const Json& e : v) out.push_back(sorted(e));
    return out;
  }
  if (!v.is_object()) return v;
  std::vector<std::string> keys;
  for (auto it = v.begin(); it != v.end(); ++it) keys.push_back(it.key());
  std::sort(keys.begin(), keys.end(),
            [](const std::string& a, const std::string& b) {
              return utf16_order(a) < utf16_order(b);
            });
  Json out = Json::object();
  for (const std::string& k : keys) out[k] = sorted(v.find(k).value());
  return out;
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
    const bool repeat = value.error().rfind("duplicate field `", 0) == 0;
    VELK_FUZZ_CHECK(library.is_discarded() || nul || repeat ||
                        value.error() == "nesting is deeper than 128 levels",
                    "refused what the library's parser reads: " + value.error());
    if (repeat) {
      FirstRepeat first;
      Json::sax_parse(text.begin(), text.end(), &first, Json::input_format_t::json, false);
      VELK_FUZZ_CHECK(value.error() == "duplicate field `" + first.name + "`",
                      value.error() + " but the first repeated member is `" + first.name + "`");
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
  const Json expected = sorted(*value);
  VELK_FUZZ_CHECK(*bytes == expected.dump(), *bytes + "\n" + expected.dump());

  auto again = parse_json(*bytes);
  VELK_FUZZ_CHECK(again.ok() && *again == expected, *bytes);
  auto bytes2 = canonical_json(*again);
  VELK_FUZZ_CHECK(bytes2.ok() && *bytes2 == *bytes, *bytes);
  return 0;
}
