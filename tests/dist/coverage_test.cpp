// The manual pages against the program's own command tables: every
// command, every flag it takes, operation, scope and reason code.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>

#include "cli/command_table.h"
#include "cli/user_table.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;
using Words = std::vector<std::string>;

// A manual page's roff without the "\%" that keeps a flag on one line.
std::string page(const std::string& relative) {
  std::string roff = read_text(std::string(VELK_BUILD_DIR) + "/" + relative);
  for (size_t at = roff.find("\\%"); at != std::string::npos; at = roff.find("\\%", at))
    roff.erase(at, 2);
  return roff;
}

std::string bold(std::string_view word) { return "\\fB" + std::string(word) + "\\fR"; }

// The term lines of a page's definition lists: in the roff that scdoc
// writes, a term is the line before an indented block (".RS 4").
Words terms_of(const std::string& roff) {
  Words lines, terms;
  std::istringstream in(roff);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  for (size_t i = 0; i + 1 < lines.size(); ++i)
    if (lines[i + 1] == ".RS 4" && !lines[i].empty() && lines[i][0] != '.') terms.push_back(lines[i]);
  return terms;
}

std::string section(const std::string& roff, const std::string& title) {
  const size_t start = roff.find("\n.SH " + title + "\n");
  EXPECT_NE(start, std::string::npos) << title;
  if (start == std::string::npos) return "";
  const size_t end = roff.find("\n.SH ", start + 1);
  return roff.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

Words terms_for(const Words& terms, std::string_view word) {
  Words found;
  for (const std::string& term : terms)
    if (term.rfind(bold(word) + " ", 0) == 0 || term == bold(word)) found.push_back(term);
  return found;
}

// The one term of a command in its section: its entry.
std::string term_for(const Words& terms, std::string_view word) {
  const Words found = terms_for(terms, word);
  EXPECT_EQ(found.size(), 1u) << word;
  return found.empty() ? std::string() : found.front();
}

std::set<std::string> flags_in(const std::string& term) {
  std::set<std::string> flags;
  for (size_t at = term.find("\\fB--"); at != std::string::npos; at = term.find("\\fB--", at + 1)) {
    const size_t end = term.find("\\fR", at);
    const std::string flag = term.substr(at + 3, end - at - 3);
    if (flag != "--") flags.insert(flag);  // a bare "--" is no flag
  }
  return flags;
}

TEST(ManualPages, TheUserPageHasAnEntryForEveryWordWithExactlyItsFlags) {
  const std::string roff = page("man/velk-setup-system.1");
  const Words terms = terms_of(roff);
  const Words commands = terms_of(section(roff, "COMMANDS"));
  for (UserWord word : kUserWords) {
    const std::string term = term_for(commands, user_word_name(word));
    std::set<std::string> flags;
    for (const UserFlag& f : user_word_row(word).flags) flags.emplace(f.flag);
    EXPECT_EQ(flags_in(term), flags) << term;
    if (user_word_row(word).setup_name) {
      EXPECT_NE(term.find("\\fIsetup\\fR"), std::string::npos) << term;
    }
  }
  for (std::string_view flag : kUserValuedFlags)
    EXPECT_FALSE(terms_for(terms, flag).empty()) << flag << " is not described under OPTIONS";
  for (const char* flag : {"--help", "--version"}) EXPECT_FALSE(terms_for(terms, flag).empty());
  // The environment the program reads, and the way out of an interruption.
  for (const char* text : {"VELK_SETUP_SYSTEM_SETUP_CATALOG", "TMPDIR",
                           "velk-setup-system recover-operation --target \\fIdir\\fR --json"})
    EXPECT_NE(roff.find(text), std::string::npos) << text;
}

TEST(ManualPages, TheProtocolPageNamesEveryCommandFlagOperationScopeAndCode) {
  const std::string roff = page("man/velk-setup-system-protocol.7");
  const Words terms = terms_of(roff);
  const Words commands = terms_of(section(roff, "COMMANDS"));
  for (ProviderCommand command : kProviderCommands) {
    const ProviderCommandRow& row = provider_command_row(command);
    const std::string term = term_for(commands, provider_command_name(command));
    // Its own line names exactly the required flags; each optional flag has its own entry.
    EXPECT_EQ(flags_in(term), std::set<std::string>(row.required.begin(), row.required.end()))
        << term;
    for (std::string_view flag : provider_command_flags(command)) {
      if (std::find(row.required.begin(), row.required.end(), flag) == row.required.end()) {
        EXPECT_FALSE(terms_for(terms, flag).empty()) << provider_command_name(command) << " " << flag;
      }
    }
  }
  Words names;
  for (Operation op : kOperations) names.emplace_back(operation_name(op));
  for (TargetScope scope : declaration().scopes) names.emplace_back(scope_name(scope));
  for (int i = 0; i < kReasonCodeCount; ++i) names.emplace_back(reason_name(ReasonCode(i)));
  for (const std::string& name : names) EXPECT_NE(roff.find(bold(name)), std::string::npos) << name;
}

}  // namespace
}  // namespace velk
