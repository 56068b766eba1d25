// JSON: the library's insertion-ordered value type, the canonical serialiser
// used for everything hashed or stored, the strict reader used for every
// document this program reads, the compact printer for documents it prints,
// and typed field mapping with the messages callers show.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/error.h"
#include "core/json_fwd.h"

namespace velk {

// Canonical JSON: no whitespace, members sorted by UTF-16 code units,
// integers only. A floating-point value fails with "canonical JSON in this
// kernel is integer-only; a floating-point value has no defined spelling
// here" (integrity_mismatch). Text that is not valid UTF-8 is refused
// (integrity_mismatch) rather than converted, so that distinct values never
// share canonical bytes.
Result<std::string> canonical_json(const Json& value);

// Strict reader: one document, only white space after it, nesting at most
// 128 deep, a repeated member refused with "duplicate field `{name}`". The
// error is the message text (the parser's own, with its line and column,
// for syntax errors).
Result<Json, std::string> parse_json(std::string_view text);

// The same reading of a record whose reader defines `members`: the other
// members of a top-level object are read and checked but never built, and
// at most `max_values` values are built ("the document holds more than
// {max} values, more than this reader builds"), so what a document costs
// in memory is bounded by what the reader uses of it.
Result<Json, std::string> parse_json_members(std::string_view text,
                                             const std::vector<std::string_view>& members,
                                             size_t max_values);

// Compact, insertion-ordered text of a value for printing; strings that are
// not valid UTF-8 are converted lossily.
std::string compact_json(const Json& value);

// The text as a JSON string, or null when there is none.
Json text_or_null(const std::optional<std::string>& value);

// Typed mapping of object members (Mapped<T> of core/json_fwd.h). Errors
// are message texts: "missing field `{name}`", or "invalid type for field
// `{name}`: expected {what}, found {json type}".

// "invalid type: expected an object, found {json type}" unless the value is
// an object.
Mapped<const Json*> as_object(const Json& value);
// The member, or nullptr when the object has none.
const Json* find_member(const Json& object, std::string_view name);
// The JSON type of a value in words ("null", "a boolean", "an integer",
// "a floating-point number", "a string", "an array", "an object").
std::string json_type_words(const Json& value);

Mapped<std::string> field_string(const Json& object, std::string_view name);
// Absent or null gives nullopt.
Mapped<std::optional<std::string>> field_optional_string(const Json& object, std::string_view name);
Mapped<uint64_t> field_u64(const Json& object, std::string_view name);
Mapped<std::optional<uint64_t>> field_optional_u64(const Json& object, std::string_view name);
// Unsigned values above 2^32 - 1 are refused as out of range.
Mapped<uint32_t> field_u32(const Json& object, std::string_view name);
Mapped<bool> field_bool(const Json& object, std::string_view name);
Mapped<std::vector<std::string>> field_string_list(const Json& object, std::string_view name);
// Absent or null gives an empty list.
Mapped<std::vector<std::string>> field_optional_string_list(const Json& object,
                                                            std::string_view name);

}  // namespace velk
