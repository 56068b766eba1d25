#include "core/json.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <random>
#include <string>

#include "core/text.h"

namespace velk {
namespace {

std::string canonical_of(std::string_view text) {
  auto parsed = parse_json(text);
  EXPECT_TRUE(parsed.ok()) << parsed.error();
  if (!parsed.ok()) return {};
  auto out = canonical_json(*parsed);
  EXPECT_TRUE(out.ok()) << out.error().message;
  return out.ok() ? *out : std::string();
}

// The reader's message, or a marker that the text was accepted.
std::string refusal(std::string_view text) {
  auto parsed = parse_json(text);
  return parsed.ok() ? "(accepted)" : parsed.error();
}

std::string nested(int depth, std::string_view open, std::string_view inner,
                   std::string_view close) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += open;
  s += inner;
  for (int i = 0; i < depth; ++i) s += close;
  return s;
}

// ---- canonical serialiser ----

TEST(CanonicalJson, OrdersMembersByUtf16CodeUnits) {
  EXPECT_EQ(canonical_of(R"({"b": 1, "a": 2, "A": 3})"), R"({"A":3,"a":2,"b":1})");
  // U+10000 is D800 DC00 in UTF-16, below U+E000 although its code point is
  // higher; byte order would put it last.
  EXPECT_EQ(canonical_of("{\"\uE000\": 1, \"\U00010000\": 2, \"\uD7FF\": 3}"),
            "{\"\uD7FF\":3,\"\U00010000\":2,\"\uE000\":1}");
  // A proper prefix first; nested objects are sorted too, arrays keep order.
  EXPECT_EQ(canonical_of(R"({"ab": [3, 1, {"z": 0, "y": 0}], "a": {"d": null, "c": true}})"),
            R"({"a":{"c":true,"d":null},"ab":[3,1,{"y":0,"z":0}]})");
  EXPECT_EQ(canonical_of(R"( { } )"), "{}");
  EXPECT_EQ(canonical_of(R"([ ])"), "[]");
}

TEST(CanonicalJson, EscapesOnlyQuotesBackslashesAndControls) {
  EXPECT_EQ(*canonical_json(Json("\x07\x08/\x7f")), "\"\\u0007\\b/\x7f\"");
  EXPECT_EQ(*canonical_json(Json(std::string("\"\\\t\n\f\r\0\x1f", 8))),
            "\"\\\"\\\\\\t\\n\\f\\r\\u0000\\u001f\"");
  // Non-ASCII text is written as its own bytes, in names as in values.
  EXPECT_EQ(canonical_of("{\"\\u00e9\\n\": \"\\ud83d\\ude00\\/\"}"),
            "{\"\u00e9\\n\":\"\U0001F600/\"}");
}

TEST(CanonicalJson, WritesIntegersAndRefusesFloatingPoint) {
  EXPECT_EQ(canonical_of(R"({"a": 10})"), R"({"a":10})");
  EXPECT_EQ(canonical_of("[0, -0, 18446744073709551615, -9223372036854775808, true, false, null]"),
            "[0,0,18446744073709551615,-9223372036854775808,true,false,null]");
  EXPECT_EQ(*canonical_json(Json(std::numeric_limits<int64_t>::min())), "-9223372036854775808");
  EXPECT_EQ(*canonical_json(Json(int64_t{42})), "42");

  const std::string message =
      "canonical JSON in this kernel is integer-only; a floating-point value has no defined "
      "spelling here";
  // 1.0, an exponent, an integer past 2^64 and a value deep inside all read
  // as floating point.
  for (const char* text : {R"({"a": 1.0})", "1e2", "18446744073709551616",
                           R"({"x": [0, {"y": [-0.5]}]})"}) {
    auto parsed = parse_json(text);
    ASSERT_TRUE(parsed.ok()) << text;
    auto out = canonical_json(*parsed);
    ASSERT_FALSE(out.ok()) << text;
    EXPECT_EQ(out.error().message, message);
    EXPECT_EQ(out.error().kind, ErrorKind::integrity_mismatch);
  }
}

TEST(CanonicalJson, RefusesTextThatIsNotUtf8) {
  // Lossy conversion would make "\xff" and "\xfe" the same bytes; refusing
  // keeps distinct values from sharing a digest.
  for (const Json& value : {Json("a\xff"), Json{{"ok", {{"\xfe", 1}}}}}) {
    auto out = canonical_json(value);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind, ErrorKind::integrity_mismatch);
    EXPECT_EQ(out.error().message,
              "canonical JSON holds only UTF-8 text; a string is not valid UTF-8");
  }
}

// ---- strict reader ----

TEST(ParseJson, RefusesRepeatedMembersAtAnyDepth) {
  EXPECT_EQ(refusal(R"({"a": 1, "b": 2, "a": 3})"), "duplicate field `a`");
  EXPECT_EQ(refusal(R"({"x": [{"k": {"a b": 1, "a b": {}}}]})"),
            "duplicate field `a b`");
  EXPECT_EQ(refusal(R"([{"q": 1}, {"q": 2, "q": 3}])"), "duplicate field `q`");
  // Equal after unescaping is equal.
  EXPECT_EQ(refusal(R"({"\u00e9": 1, "é": 2})"), "duplicate field `\u00e9`");
  // The same name in sibling or nested objects is fine.
  auto ok = parse_json(R"({"a": {"a": {"a": 1}}, "b": [{"a": 1}, {"a": 2}]})");
  ASSERT_TRUE(ok.ok()) << ok.error();
  EXPECT_EQ(compact_json(*ok), R"({"a":{"a":{"a":1}},"b":[{"a":1},{"a":2}]})");
}

TEST(ParseJson, LimitsNestingTo128Levels) {
  const std::string arrays = nested(128, "[", "7", "]");
  auto deep = parse_json(arrays);
  ASSERT_TRUE(deep.ok()) << deep.error();
  EXPECT_EQ(*canonical_json(*deep), arrays);
  EXPECT_TRUE(parse_json(nested(64, "{\"k\":[", "1", "]}")).ok());

  EXPECT_EQ(refusal(nested(129, "[", "", "]")), "nesting is deeper than 128 levels");
  EXPECT_EQ(refusal(nested(64, "{\"k\":[", "{}", "]}")),
            "nesting is deeper than 128 levels");
  // Far deeper input is refused the same way, without exhausting the stack.
  EXPECT_EQ(refusal(nested(100000, "[", "", "]")), "nesting is deeper than 128 levels");
}

TEST(ParseJson, ReadsOneDocumentAndKeepsTheParsersPosition) {
  auto spaced = parse_json(" \t{\"a\": [1, 2]}\r\n \n");
  ASSERT_TRUE(spaced.ok()) << spaced.error();
  EXPECT_EQ(compact_json(*spaced), R"({"a":[1,2]})");

  EXPECT_EQ(refusal("[1] x"),
            "parse error at line 1, column 5: syntax error while parsing value - invalid literal; "
            "last read: '1] x'; expected end of input");
  EXPECT_TRUE(starts_with(refusal("{} {}"), "parse error at line 1, column 4: "));
  EXPECT_TRUE(starts_with(refusal("{\"a\": 1,\n  x}"),
                          "parse error at line 2, column 3: syntax error while parsing object key"));
  EXPECT_TRUE(starts_with(refusal(""), "parse error at line 1, column 1: "));
  EXPECT_TRUE(starts_with(refusal("[1,]"), "parse error at line 1, column 4: "));
  EXPECT_TRUE(starts_with(refusal("{\"a\": 1} // note"), "parse error at line 1, "));

  // Invalid UTF-8 is refused, and the message quoting it is itself UTF-8.
  const auto bad = refusal("{\"a\": \"\xff\"}");
  EXPECT_TRUE(starts_with(bad, "parse error at line 1, column 8: ")) << bad;
  EXPECT_TRUE(is_valid_utf8(bad));
  // A lone surrogate escape is not text either.
  EXPECT_FALSE(parse_json(R"(["\ud800"])").ok());
}

// ---- compact printing ----

TEST(CompactJson, KeepsInsertionOrderAndRawText) {
  Json doc = Json::object();
  doc["z"] = "caf\u00e9 \U0001F600";
  doc["a"] = Json::array({1, -2, nullptr});
  doc["m"] = "bad \xff byte";
  EXPECT_EQ(compact_json(doc),
            "{\"z\":\"caf\u00e9 \U0001F600\",\"a\":[1,-2,null],\"m\":\"bad \uFFFD byte\"}");
}

// ---- typed mapping ----

TEST(TypedFields, MapValuesAndNameWhatIsWrong) {
  const Json doc = *parse_json(R"({
    "s": "text", "n": 4294967295, "big": 4294967296, "neg": -1, "f": 1.5,
    "b": true, "list": ["x", "y"], "mixed": ["x", 2], "nil": null, "obj": {}
  })");

  EXPECT_EQ(*field_string(doc, "s"), "text");
  EXPECT_EQ(field_string(doc, "absent").error(), "missing field `absent`");
  EXPECT_EQ(field_string(doc, "nil").error(),
            "invalid type for field `nil`: expected a string, found null");
  EXPECT_EQ(field_optional_string(doc, "nil")->has_value(), false);
  EXPECT_EQ(field_optional_string(doc, "absent")->has_value(), false);
  EXPECT_EQ(field_optional_string(doc, "s")->value(), "text");
  EXPECT_EQ(field_optional_string(doc, "b").error(),
            "invalid type for field `b`: expected a string, found a boolean");

  EXPECT_EQ(*field_u64(doc, "big"), 4294967296u);
  EXPECT_EQ(field_u64(doc, "neg").error(),
            "invalid type for field `neg`: expected an unsigned integer, found an integer");
  EXPECT_EQ(field_u64(doc, "f").error(),
            "invalid type for field `f`: expected an unsigned integer, found a floating-point "
            "number");
  EXPECT_EQ(field_optional_u64(doc, "nil")->has_value(), false);
  EXPECT_EQ(field_optional_u64(doc, "n")->value(), 4294967295u);
  EXPECT_EQ(field_optional_u64(doc, "s").error(),
            "invalid type for field `s`: expected an unsigned integer, found a string");
  EXPECT_EQ(*field_u32(doc, "n"), 4294967295u);
  EXPECT_EQ(field_u32(doc, "big").error(),
            "invalid value for field `big`: 4294967296 does not fit 32 bits");
  EXPECT_EQ(field_u32(doc, "missing").error(), "missing field `missing`");
  // A non-negative integer built in code is unsigned too.
  EXPECT_EQ(*field_u32(Json{{"k", int64_t{7}}}, "k"), 7u);

  EXPECT_TRUE(*field_bool(doc, "b"));
  EXPECT_EQ(field_bool(doc, "obj").error(),
            "invalid type for field `obj`: expected a boolean, found an object");

  EXPECT_EQ(*field_string_list(doc, "list"), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(field_string_list(doc, "mixed").error(),
            "invalid type for field `mixed`: expected an array of strings, found an integer at "
            "index 1");
  EXPECT_EQ(field_string_list(doc, "s").error(),
            "invalid type for field `s`: expected an array of strings, found a string");
  EXPECT_EQ(field_string_list(doc, "nil").error(),
            "invalid type for field `nil`: expected an array of strings, found null");
  EXPECT_TRUE(field_optional_string_list(doc, "nil")->empty());
  EXPECT_TRUE(field_optional_string_list(doc, "absent")->empty());
  EXPECT_EQ(field_optional_string_list(doc, "list")->size(), 2u);

  EXPECT_EQ(*as_object(doc), &doc);
  EXPECT_EQ(as_object(doc["list"]).error(), "invalid type: expected an object, found an array");
  EXPECT_EQ(find_member(doc["list"], "x"), nullptr);
  EXPECT_EQ(find_member(doc, "s"), &doc["s"]);
}

// ---- round trip over random documents ----

class DocumentGenerator {
 public:
  explicit DocumentGenerator(uint64_t seed) : rng_(seed) {}

  Json value(int depth) {
    const int kind = pick(depth >= 5 ? 5 : 7);
    switch (kind) {
      case 0: return nullptr;
      case 1: return pick(2) == 0;
      case 2: return unsigned_number();
      case 3: return negative_number();
      case 4: return text(pick(12));
      case 5: {
        Json a = Json::array();
        for (int n = pick(5); n > 0; --n) a.push_back(value(depth + 1));
        return a;
      }
      default: {
        Json o = Json::object();
        for (int n = pick(6); n > 0; --n) o[text(pick(5))] = value(depth + 1);
        return o;
      }
    }
  }

  // Reinserts every object's members in a shuffled order.
  Json shuffled(const Json& v) {
    if (v.is_array()) {
      Json a = Json::array();
      for (const Json& e : v) a.push_back(shuffled(e));
      return a;
    }
    if (!v.is_object()) return v;
    std::vector<std::string> names;
    for (const auto& [name, member] : v.items()) names.push_back(name);
    std::shuffle(names.begin(), names.end(), rng_);
    Json o = Json::object();
    for (const auto& name : names) o[name] = shuffled(v.at(name));
    return o;
  }

 private:
  int pick(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }

  uint64_t unsigned_number() {
    switch (pick(4)) {
      case 0: return static_cast<uint64_t>(pick(10));
      case 1: return std::numeric_limits<uint64_t>::max();
      default: return rng_() >> pick(64);
    }
  }

  int64_t negative_number() {
    if (pick(4) == 0) return std::numeric_limits<int64_t>::min();
    return -1 - static_cast<int64_t>((rng_() >> 1) >> pick(63));
  }

  char32_t character() {
    switch (pick(8)) {
      case 0: return static_cast<char32_t>(pick(0x20));  // controls, NUL included
      case 1: return U"\"\\/\x7f"[pick(4)];
      case 2: return static_cast<char32_t>(0x10000 + pick(0x100000));  // astral
      case 3: return static_cast<char32_t>(0xE000 + pick(0x2000));    // above the surrogates
      case 4: {
        const auto c = static_cast<char32_t>(0x80 + pick(0xD800 - 0x80));
        return c;
      }
      default: return static_cast<char32_t>(0x20 + pick(0x5F));  // printable ASCII
    }
  }

  std::string text(int length) {
    std::string s;
    for (int i = 0; i < length; ++i) append_utf8(s, character());
    return s;
  }

  std::mt19937_64 rng_;
};

// Orders code points the way their UTF-16 code units order: astral
// characters (high surrogate first) fall between U+D7FF and U+E000.
std::vector<uint32_t> utf16_order_key(const std::string& name) {
  std::vector<uint32_t> key;
  for (const char32_t c : utf8_code_points(name))
    key.push_back(c >= 0xE000 && c <= 0xFFFF ? c + 0x110000 : c);
  return key;
}

// Every object of a reparsed canonical document lists its members in
// strictly increasing UTF-16 order.
void expect_sorted(const Json& v) {
  if (v.is_array()) {
    for (const Json& e : v) expect_sorted(e);
    return;
  }
  if (!v.is_object()) return;
  std::vector<uint32_t> previous;
  bool first = true;
  for (const auto& [name, member] : v.items()) {
    const auto key = utf16_order_key(name);
    if (!first) {
      EXPECT_LT(previous, key) << "member " << quoted_form(name);
    }
    previous = key;
    first = false;
    expect_sorted(member);
  }
}

TEST(CanonicalJsonProperty, RoundTripsAndIsStableForRandomDocuments) {
  DocumentGenerator gen(0x5eed'cafe'f00dULL);
  for (int i = 0; i < 3000; ++i) {
    const Json doc = gen.value(0);
    const auto bytes = canonical_json(doc);
    ASSERT_TRUE(bytes.ok()) << bytes.error().message;

    const auto reparsed = parse_json(*bytes);
    ASSERT_TRUE(reparsed.ok()) << reparsed.error() << " in " << *bytes;
    // Insertion order differs by design; compare as unordered values.
    ASSERT_EQ(nlohmann::json(*reparsed), nlohmann::json(doc)) << *bytes;
    expect_sorted(*reparsed);

    ASSERT_EQ(*canonical_json(*reparsed), *bytes);
    ASSERT_EQ(*canonical_json(gen.shuffled(doc)), *bytes);
    ASSERT_TRUE(is_valid_utf8(*bytes));
  }
}

}  // namespace
}  // namespace velk
