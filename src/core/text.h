// Small text helpers shared by every folder: UTF-8 checks and the lossy
// conversion, the quoted form used for outside names inside messages, the
// short digest of human reports and the Unicode lower-case mapping.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velk {

bool is_valid_utf8(std::string_view bytes);
// The length of the well-formed UTF-8 sequence starting at `at` (never an
// overlong form, a surrogate or a value past U+10FFFF), or 0 when none does.
size_t utf8_sequence_length(std::string_view bytes, size_t at);

// Replaces every invalid UTF-8 sequence by U+FFFD (one per maximal invalid
// subpart), so the result is always valid UTF-8.
std::string lossy_utf8(std::string_view bytes);

// Decodes valid UTF-8 into code points. Invalid input decodes lossily.
std::vector<char32_t> utf8_code_points(std::string_view text);
void append_utf8(std::string& out, char32_t code_point);

// The quoted form: between double quotation marks, `"` and `\` preceded by a
// backslash, tab, carriage return, line feed and NUL as \t, \r, \n and \0,
// and any other non-printable character as \u{...} in lower-case hex.
// Invalid UTF-8 is converted lossily first.
std::string quoted_form(std::string_view text);

// A value read from a file another user may write, as a report shows it:
// as it is when every character is printable and it holds no quotation
// mark or backslash, otherwise in the quoted form. So no such value can
// forge a line of a report or send the terminal a control sequence, and
// the ordinary ones read as they always did.
std::string shown(std::string_view text);

// The first 19 characters of a digest text ("sha256:" and 12 hex digits);
// a shorter text is returned whole.
std::string short_digest(std::string_view digest);

// The full Unicode lower-case mapping of the text (not just ASCII): the
// Kelvin sign lowers to "k", "İ" to "i̇". Invalid UTF-8 is converted lossily.
std::string unicode_lower(std::string_view text);

// Joins the items with the separator.
std::string join(const std::vector<std::string>& items, std::string_view separator);

bool starts_with(std::string_view text, std::string_view prefix);
bool ends_with(std::string_view text, std::string_view suffix);

}  // namespace velk
