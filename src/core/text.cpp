#include "core/text.h"

#include <cstdio>
#include <cstdlib>

#include "core/unicode.h"

namespace velk {
namespace {

// Length of the valid UTF-8 sequence starting at i, or 0 when the bytes at i
// do not start one. *max_subpart receives the length of the maximal invalid
// subpart when 0 is returned.
size_t valid_sequence(std::string_view s, size_t i, size_t* max_subpart, char32_t* out) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  *max_subpart = 1;
  if (b0 < 0x80) {
    *out = b0;
    return 1;
  }
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  for (size_t k = 1; k <= need; ++k) {
    if (i + k >= s.size()) {
      *max_subpart = k;
      return 0;
    }
    const auto b = static_cast<unsigned char>(s[i + k]);
    const unsigned char l = (k == 1) ? lo : 0x80;
    const unsigned char h = (k == 1) ? hi : 0xBF;
    if (b < l || b > h) {
      *max_subpart = k;
      return 0;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  *out = cp;
  return need + 1;
}

bool is_printable(char32_t c) { return unicode_is_printable(c); }

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  size_t i = 0;
  while (i < bytes.size()) {
    size_t sub;
    char32_t cp;
    const size_t n = valid_sequence(bytes, i, &sub, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

size_t utf8_sequence_length(std::string_view bytes, size_t at) {
  size_t sub;
  char32_t cp;
  return valid_sequence(bytes, at, &sub, &cp);
}

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

std::vector<char32_t> utf8_code_points(std::string_view bytes) {
  std::vector<char32_t> out;
  size_t i = 0;
  while (i < bytes.size()) {
    size_t sub;
    char32_t cp;
    const size_t n = valid_sequence(bytes, i, &sub, &cp);
    if (n == 0) {
      out.push_back(0xFFFD);
      i += sub;
    } else {
      out.push_back(cp);
      i += n;
    }
  }
  return out;
}

std::string lossy_utf8(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return std::string(bytes);
  std::string out;
  for (char32_t c : utf8_code_points(bytes)) append_utf8(out, c);
  return out;
}

std::string quoted_form(std::string_view text) {
  std::string out = "\"";
  for (char32_t c : utf8_code_points(text)) {
    switch (c) {
      case U'"': out += "\\\""; continue;
      case U'\\': out += "\\\\"; continue;
      case U'\t': out += "\\t"; continue;
      case U'\r': out += "\\r"; continue;
      case U'\n': out += "\\n"; continue;
      case U'\0': out += "\\0"; continue;
      default: break;
    }
    if (is_printable(c)) {
      append_utf8(out, c);
    } else {
      char buffer[16];
      std::snprintf(buffer, sizeof buffer, "\\u{%x}", static_cast<unsigned>(c));
      out += buffer;
    }
  }
  out += '"';
  return out;
}

std::string shown(std::string_view text) {
  std::string quoted = quoted_form(text);
  if (quoted.size() == text.size() + 2 && std::string_view(quoted).substr(1, text.size()) == text)
    return std::string(text);
  return quoted;
}

std::string short_digest(std::string_view digest) {
  return std::string(digest.substr(0, 19));
}

std::string unicode_lower(std::string_view text) { return unicode_to_lower(lossy_utf8(text)); }

std::string join(const std::vector<std::string>& items, std::string_view separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out += separator;
    out += items[i];
  }
  return out;
}

bool starts_with(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

}  // namespace velk
