// The quoted form of outside names in messages (quoted_form). The output
// is valid UTF-8 between double quotation marks, holds no raw control
// character (C0, DEL, C1) and no line or paragraph separator, spells every
// \u{...} in lower-case hex without leading zeros and never for a character
// with an escape of its own; and the small reader below gives back the
// input, or for input that is not valid UTF-8 its lossy conversion.
#include <optional>

#include "core/text.h"
#include "support/fuzz_support.h"

namespace {

std::optional<std::string> unquote(std::string_view q) {
  if (q.size() < 2 || q.front() != '"' || q.back() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i + 1 < q.size(); ++i) {
    const char c = q[i];
    if (c == '"') return std::nullopt;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (++i + 1 >= q.size()) return std::nullopt;
    switch (q[i]) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case 't': out += '\t'; break;
      case 'r': out += '\r'; break;
      case 'n': out += '\n'; break;
      case '0': out += '\0'; break;
      case 'u': {  // \u{hex}: lower case, no leading zero, at most six digits
        const size_t end = q.find('}', i);
        if (q[i + 1] != '{' || end == std::string_view::npos || end + 1 >= q.size())
          return std::nullopt;
        const std::string hex(q.substr(i + 2, end - i - 2));
        if (hex.empty() || hex.size() > 6 || hex[0] == '0' ||
            hex.find_first_not_of("0123456789abcdef") != std::string::npos)
          return std::nullopt;
        const auto cp = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
        if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
        if (cp == '"' || cp == '\\' || cp == '\t' || cp == '\r' || cp == '\n' || cp == 0)
          return std::nullopt;
        append_utf8(out, cp);
        i = end;
        break;
      }
      default: return std::nullopt;
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input = as_text(data, size);
  const std::string quoted = quoted_form(input);
  VELK_FUZZ_CHECK(is_valid_utf8(quoted), quoted);
  for (const char32_t c : utf8_code_points(quoted))
    VELK_FUZZ_CHECK(c >= 0x20 && c != 0x7F && !(c >= 0x80 && c <= 0x9F) && c != 0x2028 &&
                        c != 0x2029,
                    "a raw control character in " + quoted);
  const std::optional<std::string> back = unquote(quoted);
  VELK_FUZZ_CHECK(back.has_value(), quoted);
  if (is_valid_utf8(input)) {
    VELK_FUZZ_CHECK(*back == input, quoted);
  } else {
    VELK_FUZZ_CHECK(*back == lossy_utf8(input), quoted);
    VELK_FUZZ_CHECK(quoted == quoted_form(lossy_utf8(input)), quoted);
  }
  return 0;
}
