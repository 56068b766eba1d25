#include "core/json.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace velk {
namespace {

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

// The canonical JSON fuzz target compares the output with the library's writer.
// Lossy conversion would make "\xff" and "\xfe" the same bytes: not UTF-8 is refused.
TEST(CanonicalJson, RefusesFloatingPointAndTextThatIsNotUtf8) {
  const std::string floating =
      "canonical JSON in this kernel is integer-only; a floating-point value has no defined "
      "spelling here";
  const std::string not_utf8 = "canonical JSON holds only UTF-8 text; a string is not valid UTF-8";
  // 1.0, an exponent, past 2^64 and deep inside: all read as floating point.
  const std::pair<Json, std::string> rows[] = {
      {*parse_json(R"({"a": 1.0})"), floating},
      {*parse_json("1e2"), floating},
      {*parse_json("18446744073709551616"), floating},
      {*parse_json(R"({"x": [0, {"y": [-0.5]}]})"), floating},
      {Json("a\xff"), not_utf8},
      {Json{{"ok", {{"\xfe", 1}}}}, not_utf8},
  };
  for (const auto& [value, message] : rows) {
    auto out = canonical_json(value);
    ASSERT_FALSE(out.ok()) << compact_json(value);
    EXPECT_EQ(out.error().message, message);
    EXPECT_EQ(out.error().kind, ErrorKind::integrity_mismatch);
  }
}

// What the reader accepts is compared with the library's parser below and by fuzzing.
TEST(ParseJson, RefusalsNameTheRepeatedMemberTheDepthOrThePosition) {
  using namespace std::string_literals;
  const std::string deep = "nesting is deeper than 128 levels";
  const std::string trailing = "syntax error while parsing value - invalid literal; last read: ";
  const std::pair<std::string, std::string> exact[] = {
      {R"({"x": [{"k": {"a b": 1, "a b": {}}}]})", "duplicate field `a b`"},
      {R"([{"q": 1}, {"q": 2, "q": 3}])", "duplicate field `q`"},
      {nested(129, "[", "", "]"), deep},
      {nested(64, "{\"k\":[", "{}", "]}"), deep},
      {nested(100000, "[", "", "]"), deep},  // without exhausting the stack
      {"[1] x", "parse error at line 1, column 5: " + trailing + "'1] x'; expected end of input"},
      // The library's parser takes a NUL for the end of the text; the reader
      // allows only white space after the document, in both of its paths.
      {"[1]\0garbage"s,
       "parse error at line 1, column 4: " + trailing + "'1]<U+0000>'; expected end of input"},
      {"[1.5] \0"s,
       "parse error at line 1, column 7: " + trailing + "'1.5] <U+0000>'; expected end of input"},
  };
  for (const auto& [text, message] : exact) EXPECT_EQ(refusal(text), message);
  // Invalid UTF-8 is refused, and the message quoting it is itself UTF-8.
  const std::pair<std::string, std::string> starting[] = {
      {"{\"a\": 1,\n  x}",
       "parse error at line 2, column 3: syntax error while parsing object key"},
      {"", "parse error at line 1, column 1: "},
      {"[\"a\0b\"]"s, "parse error at line 1, column 4: syntax error while parsing value - invalid "
                      "string: control character U+0000 (NUL) must be escaped"},
      {"{\"a\": \"\xff\"}", "parse error at line 1, column 8: "},
  };
  for (const auto& [text, start] : starting) {
    const std::string message = refusal(text);
    EXPECT_TRUE(starts_with(message, start) && is_valid_utf8(message)) << message;
  }

  const std::string arrays = nested(128, "[", "7", "]");
  auto deepest = parse_json(arrays);
  ASSERT_TRUE(deepest.ok()) << deepest.error();
  EXPECT_EQ(*canonical_json(*deepest), arrays);
  EXPECT_TRUE(parse_json(nested(64, "{\"k\":[", "1", "]}")).ok());
  // A repeat in a large object too, wherever the first of the two stands.
  for (const int size : {15, 16, 17, 33, 64, 1000}) {
    std::string text = "{";
    for (int i = 0; i < size; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
    ASSERT_TRUE(parse_json(text.substr(0, text.size() - 1) + "}").ok()) << size;
    for (const int repeated : {0, size / 2, size - 1})
      EXPECT_EQ(refusal(text + "\"k" + std::to_string(repeated) + "\":{}}"),
                "duplicate field `k" + std::to_string(repeated) + "`");
  }
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

TEST(ParseJson, AcceptsAndBuildsExactlyWhatTheLibraryParserDoes) {
  // Every edge of strings, escapes, UTF-8 and integers, alone and inside a
  // container: accepted exactly when the library's parser accepts, as the same value.
  const std::vector<std::string> pieces = {
      R"("")", R"("plain")", R"("\"\\\/\b\f\n\r\t")", R"("\u0000\u001f\u007F\u0080")",
      R"("\u07ff\u0800\uFFFF\uD7FF\uE000")", R"("\ud83d\ude00")", R"("\uD800")", R"("\udc00")",
      R"("\ud800\u0041")", R"("\ud800x")", R"("\ud800xudc00")", R"("\ud800\ndc00")",
      R"("\u12")", R"("\u12G4")", R"("\x")", "\"\\",
      "\"a\x01\"", "\"\x7f\"", "\"\xc2\x80\xdf\xbf\"", "\"\xc0\x80\"", "\"\xc1\xbf\"",
      "\"\xe0\xa0\x80\"", "\"\xe0\x9f\xbf\"", "\"\xed\x9f\xbf\"", "\"\xed\xa0\x80\"",
      "\"\xef\xbf\xbf\"", "\"\xf0\x90\x80\x80\"", "\"\xf0\x8f\xbf\xbf\"", "\"\xf4\x8f\xbf\xbf\"",
      "\"\xf4\x90\x80\x80\"", "\"\xf5\x80\x80\x80\"", "\"\xe2\x82\"", "\"\x80\"", "\"\xff\"",
      "0", "-0", "7", "-7", "01", "-01", "-", "--1", "1.", "1.5", "-0.0", "1e3", "1E-3", "+1",
      "18446744073709551615", "18446744073709551616", "9223372036854775808",
      "-9223372036854775808", "-9223372036854775809", "123456789012345678901234567890",
      "true", "false", "null", "tru", "nul", "True", "[]", "{}", "[1,]", "[,1]", "{,}",
      R"({"a":1,})", R"({"a" 1})", R"({"a":})", R"({1:2})", R"([1 2])", R"({"a":1}})",
      R"({"a":1,"a":2})", R"({"a":{"b":1},"b":{"b":2}})", "[ 1 ,\t2\r\n]", "[1]\x0b",
  };
  std::vector<std::string> documents;
  for (const std::string& piece : pieces) {
    documents.push_back(piece);
    documents.push_back("[" + piece + "]");
    documents.push_back("{\"k\":" + piece + ",\"z\":[" + piece + "]}");
    documents.push_back(" \n" + piece + "\t ");
  }
  documents.push_back("\xef\xbb\xbf{\"a\":1}");  // a byte order mark
  documents.push_back("");
  for (const std::string& text : documents) {
    SCOPED_TRACE(text);
    const auto ours = parse_json(text);
    const Json library = Json::parse(text, nullptr, /*allow_exceptions=*/false);
    const bool duplicate = text.find(R"("a":1,"a")") != std::string::npos;
    ASSERT_EQ(ours.ok(), !library.is_discarded() && !duplicate)
        << (ours.ok() ? compact_json(*ours) : ours.error());
    if (ours.ok()) {
      EXPECT_TRUE(identical(*ours, library)) << compact_json(*ours);
    }
  }
}

TEST(ParseJsonMembers, BuildsOnlyTheNamedMembersAndChecksTheRestAsEverywhere) {
  const std::vector<std::string_view> keep = {"a", "c"};
  const auto read = [&](std::string_view text, size_t cap = 100) {
    auto r = parse_json_members(text, keep, cap);
    return r.ok() ? compact_json(*r) : "refused: " + r.error();
  };
  EXPECT_EQ(read(R"({"a":1,"b":{"x":[1,{"y":2}],"z":"s"},"c":[true],"d":null})"),
            R"({"a":1,"c":[true]})");
  // What is read without being built is still checked like any member.
  EXPECT_EQ(read(R"({"a":1,"b":{"x":1,"x":2}})"), "refused: duplicate field `x`");
  EXPECT_EQ(read(R"({"b":1,"a":1,"b":2})"), "refused: duplicate field `b`");
  EXPECT_EQ(read(R"({"b":[1,2)"), read(R"({"a":[1,2)"));
  EXPECT_EQ(read(R"({"b":)" + std::string(200, '[') + std::string(200, ']') + "}"),
            "refused: nesting is deeper than 128 levels");
  // Only values that are built count against the cap.
  std::string padded = R"({"b":[[])";
  for (int i = 1; i < 5000; ++i) padded += ",[]";
  padded += R"(],"a":[1,2,3]})";
  EXPECT_EQ(read(padded, 5), R"({"a":[1,2,3]})");
  EXPECT_EQ(read(R"([[],[],[],[]])", 4),
            "refused: the document holds more than 4 values, more than this reader builds");
}

TEST(CompactJson, KeepsInsertionOrderAndRawText) {
  Json doc = Json::object();
  doc["z"] = "caf\u00e9 \U0001F600";
  doc["a"] = Json::array({1, -2, nullptr});
  doc["m"] = "bad \xff byte";
  EXPECT_EQ(compact_json(doc),
            "{\"z\":\"caf\u00e9 \U0001F600\",\"a\":[1,-2,null],\"m\":\"bad \uFFFD byte\"}");
}

template <class T>
std::string why(const Mapped<T>& mapped) {
  return mapped.ok() ? "(accepted)" : mapped.error();
}

TEST(TypedFields, MapValuesAndNameWhatIsWrong) {
  const Json doc = *parse_json(R"({
    "s": "text", "n": 4294967295, "big": 4294967296, "neg": -1, "f": 1.5,
    "b": true, "list": ["x", "y"], "mixed": ["x", 2], "nil": null, "obj": {}
  })");
  // Present values map as every reader of a record shows; these are the
  // edges: null or absent optionals, the largest u32, a signed integer.
  EXPECT_FALSE(field_optional_string(doc, "nil")->has_value());
  EXPECT_FALSE(field_optional_string(doc, "absent")->has_value());
  EXPECT_FALSE(field_optional_u64(doc, "nil")->has_value());
  EXPECT_EQ(*field_u32(doc, "n"), 4294967295u);
  EXPECT_EQ(*field_u64(doc, "big"), 4294967296u);
  // A non-negative integer built in code is unsigned too.
  EXPECT_EQ(*field_u32(Json{{"k", int64_t{7}}}, "k"), 7u);
  EXPECT_TRUE(field_optional_string_list(doc, "nil")->empty());
  EXPECT_TRUE(field_optional_string_list(doc, "absent")->empty());
  EXPECT_EQ(find_member(doc["list"], "x"), nullptr);

  const std::string type = "invalid type for field ";
  const std::string uint = "expected an unsigned integer, found ";
  const std::string strs = "expected an array of strings";
  const std::vector<std::pair<std::string, std::string>> refused = {
      {why(field_string(doc, "absent")), "missing field `absent`"},
      {why(field_string(doc, "nil")), type + "`nil`: expected a string, found null"},
      {why(field_optional_string(doc, "b")), type + "`b`: expected a string, found a boolean"},
      {why(field_u64(doc, "neg")), type + "`neg`: " + uint + "an integer"},
      {why(field_u64(doc, "f")), type + "`f`: " + uint + "a floating-point number"},
      {why(field_optional_u64(doc, "s")), type + "`s`: " + uint + "a string"},
      {why(field_u32(doc, "big")), "invalid value for field `big`: 4294967296 does not fit 32 bits"},
      {why(field_bool(doc, "obj")), type + "`obj`: expected a boolean, found an object"},
      {why(field_string_list(doc, "mixed")),
       type + "`mixed`: " + strs + ", found an integer at index 1"},
      {why(field_string_list(doc, "s")), type + "`s`: " + strs + ", found a string"},
      {why(field_string_list(doc, "nil")), type + "`nil`: " + strs + ", found null"},
      {why(as_object(doc["list"])), "invalid type: expected an object, found an array"},
  };
  for (const auto& [actual, expected] : refused) EXPECT_EQ(actual, expected);
}

}  // namespace
}  // namespace velk
