// `list`: the setups of the catalog with their wrapped descriptions.
#include "cli/report_commands.h"

#include <iostream>

#include "core/text.h"
#include "core/unicode.h"
#include "product/catalog.h"
#include "product/declaration.h"

namespace velk {
namespace {

// A line holds at most this many characters.
constexpr size_t kWrapWidth = 72;

bool is_white_space(char32_t c) { return unicode_is_white_space(c); }

}  // namespace

std::vector<std::string> wrap_words(std::string_view text) {
  std::vector<std::string> lines;
  std::string line;
  size_t line_chars = 0;
  std::string word;
  size_t word_chars = 0;

  const auto place_word = [&] {
    if (word_chars == 0) return;
    if (line_chars == 0) {
      line = std::move(word);
      line_chars = word_chars;
    } else if (line_chars + 1 + word_chars <= kWrapWidth) {
      line += ' ';
      line += word;
      line_chars += 1 + word_chars;
    } else {
      lines.push_back(std::move(line));
      line = std::move(word);
      line_chars = word_chars;
    }
    word.clear();
    word_chars = 0;
  };

  for (const char32_t c : utf8_code_points(text)) {
    if (is_white_space(c)) {
      place_word();
    } else {
      append_utf8(word, c);
      ++word_chars;
    }
  }
  place_word();
  if (line_chars > 0) lines.push_back(std::move(line));
  return lines;
}

Status run_list(std::ostream& out) {
  VELK_ASSIGN(const Catalog catalog, open_catalog());
  VELK_ASSIGN(const std::vector<CatalogSetup> setups, read_setups(catalog));
  const ProductDeclaration& product = declaration();
  if (setups.empty()) {
    out << product.provider_id << ": no setups in the catalog.\n";
    return {};
  }
  out << "Setups for " << product.display_name << " (" << product.vendor << "):\n\n";
  for (const auto& setup : setups) {
    out << "  " << setup.id << "\n";
    for (const auto& line : wrap_words(setup.description)) out << "      " << line << "\n";
    out << "      " << setup.file_count << " files, definition "
        << short_digest(setup.definition_digest) << "\n";
  }
  out << "\nInstall one with:  install <id> --target <absolute-directory>\n";
  return {};
}

}  // namespace velk
