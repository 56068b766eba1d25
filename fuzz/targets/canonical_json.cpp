// The strict JSON reader (parse_json) and canonical_json. The reader accepts
// what the library's own parser accepts and builds the same value (member
// order and number types included), except a repeated member (it names the
// first one the library's parser meets), nesting deeper than it allows, and a
// NUL byte (where the library's parser stops). canonical_json refuses exactly
// a value holding a float; otherwise it writes the library's compact text with
// members in UTF-16 code-unit order, which reads back and is written unchanged.
#include <algorithm>
#include <set>

#include "core/json.h"
#include "core/text.h"
#include "support/fuzz_support.h"

namespace {

bool holds_float(const Json& v) {
  return v.is_number_float() ||
         ((v.is_array() || v.is_object()) && std::any_of(v.begin(), v.end(), holds_float));
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
  for (const auto& item : v.items()) keys.push_back(item.key());
  std::ranges::sort(keys, std::less<>(), utf16_order);
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
std::string first_repeat(std::string_view text) {
  std::vector<std::set<std::string>> names;
  std::string repeat;
  const auto callback = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) names.emplace_back();
    if (event == Json::parse_event_t::object_end) names.pop_back();
    if (event == Json::parse_event_t::key && repeat.empty() &&
        !names.back().insert(parsed.get<std::string>()).second)
      repeat = parsed.get<std::string>();
    return true;
  };
  (void)Json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/false);
  return repeat;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = as_text(data, size);
  const auto value = parse_json(text);
  const Json library = Json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (refused(value)) {
    // The library's parser stops at a NUL byte; the reader refuses it.
    const bool nul = text.find('\0') != std::string_view::npos;
    const bool repeat = value.error().rfind("duplicate field `", 0) == 0;
    VELK_FUZZ_CHECK(library.is_discarded() || nul || repeat ||
                        value.error() == "nesting is deeper than 128 levels",
                    "refused what the library's parser reads: " + value.error());
    if (repeat) {
      const std::string first = first_repeat(text);
      VELK_FUZZ_CHECK(value.error() == "duplicate field `" + first + "`",
                      value.error() + " but the first repeated member is `" + first + "`");
    }
    return 0;
  }
  VELK_FUZZ_CHECK(text.find('\0') == std::string_view::npos, "accepted a text holding a NUL byte");
  VELK_FUZZ_CHECK(!library.is_discarded(), "accepted what the library's parser refuses");
  VELK_FUZZ_CHECK(identical(*value, library),
                  "read differently from the library's parser: " + compact_json(*value) + "\n" +
                      compact_json(library));
  const auto bytes = canonical_json(*value);
  if (refused(bytes, ErrorKind::integrity_mismatch)) {
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
