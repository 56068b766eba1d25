// The Unicode properties the program needs: whether a character is printed
// as it is in a quoted form, whether it separates words, and the lower-case
// mapping of names compared with case folded. ASCII is answered here; the
// Unicode library is loaded only when a character beyond ASCII asks.
#pragma once

#include <string>
#include <string_view>

namespace velk {

// False for controls, format characters, surrogates, private-use and
// unassigned code points, line and paragraph separators, and space
// separators other than U+0020.
bool unicode_is_printable(char32_t c);

// The White_Space property.
bool unicode_is_white_space(char32_t c);

// The full lower-case mapping of the root locale (context included, as a
// final sigma), of valid UTF-8.
std::string unicode_to_lower(std::string_view valid_utf8);

}  // namespace velk
