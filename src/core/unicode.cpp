#include "core/unicode.h"

#include <unicode/uchar.h>
#include <unicode/ucasemap.h>
#include <unicode/utypes.h>
#include <unicode/uvernum.h>

#include <cstdlib>
#include <memory>

#include "core/lazy_library.h"

// The library's entry points carry its version in their names
// (u_charType_72); the same macros that rename them in the headers give
// the names to look up.
#define VELK_STRINGIFY_(x) #x
#define VELK_STRINGIFY(x) VELK_STRINGIFY_(x)

namespace velk {
namespace {

constexpr const char* kLibrary = "libicuuc.so." VELK_STRINGIFY(U_ICU_VERSION_MAJOR_NUM);

struct Icu {
  decltype(&u_charType) char_type;
  decltype(&u_isUWhiteSpace) is_white_space;
  decltype(&ucasemap_open) casemap_open;
  decltype(&ucasemap_close) casemap_close;
  decltype(&ucasemap_utf8ToLower) utf8_to_lower;
};

const Icu& icu() {
  static const Icu loaded = {
      lazy_function<decltype(&u_charType)>(kLibrary, VELK_STRINGIFY(u_charType)),
      lazy_function<decltype(&u_isUWhiteSpace)>(kLibrary, VELK_STRINGIFY(u_isUWhiteSpace)),
      lazy_function<decltype(&ucasemap_open)>(kLibrary, VELK_STRINGIFY(ucasemap_open)),
      lazy_function<decltype(&ucasemap_close)>(kLibrary, VELK_STRINGIFY(ucasemap_close)),
      lazy_function<decltype(&ucasemap_utf8ToLower)>(kLibrary,
                                                     VELK_STRINGIFY(ucasemap_utf8ToLower)),
  };
  return loaded;
}

}  // namespace

bool unicode_is_printable(char32_t c) {
  if (c < 0x80) return c >= 0x20 && c != 0x7f;  // the controls are Cc; U+0020 is printed
  switch (icu().char_type(static_cast<UChar32>(c))) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_SURROGATE:
    case U_PRIVATE_USE_CHAR:
    case U_UNASSIGNED:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SPACE_SEPARATOR:
      return false;
    default:
      return true;
  }
}

bool unicode_is_white_space(char32_t c) {
  if (c < 0x80) return c == 0x20 || (c >= 0x09 && c <= 0x0d);
  return icu().is_white_space(static_cast<UChar32>(c)) != 0;
}

std::string unicode_to_lower(std::string_view valid_utf8) {
  bool ascii = true;
  for (const char b : valid_utf8) ascii = ascii && static_cast<unsigned char>(b) < 0x80;
  if (ascii) {
    std::string out(valid_utf8);
    for (char& b : out)
      if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    return out;
  }
  const Icu& lib = icu();
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCaseMap, decltype(&ucasemap_close)> map(lib.casemap_open("", 0, &status),
                                                          lib.casemap_close);
  if (U_FAILURE(status)) std::abort();
  std::string out(valid_utf8.size() * 3 + 4, '\0');
  for (;;) {
    status = U_ZERO_ERROR;
    const int32_t n =
        lib.utf8_to_lower(map.get(), out.data(), static_cast<int32_t>(out.size()),
                          valid_utf8.data(), static_cast<int32_t>(valid_utf8.size()), &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.assign(static_cast<size_t>(n) + 1, '\0');
      continue;
    }
    if (U_FAILURE(status)) std::abort();
    out.resize(static_cast<size_t>(n));
    return out;
  }
}

}  // namespace velk
