#include "cli/usage.h"

#include <initializer_list>
#include <string_view>

#include "cli/command_table.h"
#include "core/text.h"
#include "product/declaration.h"

namespace velk {
namespace {

// Optional flags line up in a column this many characters wide.
constexpr size_t kFlagColumn = 22;

void add_lines(std::string& out, std::initializer_list<std::string_view> lines) {
  for (std::string_view line : lines) {
    out += line;
    out += '\n';
  }
}

}  // namespace

std::string version_text() {
  const ProductDeclaration& d = declaration();
  return std::string(d.provider_id) + " " + std::string(d.provider_version) + "\n";
}

std::string usage_text() {
  const ProductDeclaration& d = declaration();
  const std::string display(d.display_name);
  std::string out = version_text();
  out += '\n';
  out += "Configures " + display + " (" + std::string(d.vendor) +
         ") in a caller-named target directory.\n";
  out += "Documented configuration home: " + std::string(d.documented_home) + " (" +
         std::string(d.home_variable) + ")\n";
  add_lines(out, {
      "",
      "Provider commands (ai-stp protocol v3):",
      "  provider-info",
      "  status            --target <dir> --json",
      "  validate-bundle   --target <dir> --json --bundle <path> ...",
      "  plan-operation    --target <dir> --json --operation <op> ...",
      "  apply-operation   --target <dir> --json --plan <path> --plan-digest <d> ...",
      "  recover-operation --target <dir> --json",
      "  launch            --target <dir> --prefix <dir> --json [-- <args>]",
      "",
  });
  out += "This build also installs " + display + " itself. Those operations take a\n";
  add_lines(out, {
      "`--prefix` for the program, distinct from the `--target` that holds",
      "its configuration, and the bytes are fetched between planning and",
      "applying by whoever holds the network:",
      "",
      "  plan-operation  --operation software_install --target <dir> --prefix <dir> ...",
      "  apply-operation --prefix <dir> --software-artifact <file> ...",
      "",
      "Your commands:",
      "  list",
      "  status    --target <dir>",
      "  install   <setup> --target <dir>",
      "  select    <setup> --target <dir>",
      "  reinstall --target <dir>",
      "  diff      --target <dir>",
      "  backups   --target <dir>",
      "  restore   [--backup <ref>] --target <dir>",
      "  hold      --backup <ref> [--reason <why>] --target <dir>",
      "  release   --backup <ref> --target <dir>",
      "  remove    --target <dir>",
      "  adopt     --target <dir>",
      "  software  --prefix <dir>",
      "  rollback  --to <version> --prefix <dir>",
      "",
      "`software` reads the program directory and `rollback` points the",
      "command back at a version already in it -- installing a new one leaves",
      "the old tree in place and moves only the command. Both need no network,",
      "which is why they are commands you type; install and update need bytes",
      "fetched between planning and applying, so they stay on the wire above.",
      "",
  });
  out += "`adopt` takes over a target still carrying " + std::string(d.legacy_stamp_name) + ",\n";
  add_lines(out, {
      "written by the estate that came before this one. It is a command you",
      "type, never something install does behind you, and it deletes nothing.",
      "",
      "Every one takes an explicit --target, and the two program commands an",
      "explicit --prefix. There is no default: a change aimed at a guessed",
      "path is a change aimed at someone else's state. `rollback` names its",
      "version for the same reason -- there is no record of which was",
      "previous, only what is on disk.",
      "",
      "A backup is captured before every change, so `restore` always has",
      "something to return to. The pool rolls, so a long series of changes",
      "eventually evicts the oldest: `hold` keeps one until `release` lets",
      "it go, which is how a baseline survives more captures than the pool.",
      "Over the wire, install and replace arrive as a bundle and refuse --",
      "this build reads setups from its own catalog.",
  });
  return out;
}

std::string provider_help(ProviderCommand command) {
  const ProviderCommandRow& row = provider_command_row(command);
  std::string out(provider_command_name(command));
  out += "\n\n  ";
  out += row.description;
  out += '\n';
  if (!row.required.empty()) {
    out += "\nRequired:\n";
    for (std::string_view flag : row.required) {
      out += "  ";
      out += flag;
      out += '\n';
    }
  }
  if (!row.optional.empty()) {
    out += "\nOptional:\n";
    for (const OptionalFlag& option : row.optional) {
      out += "  ";
      out += option.flag;
      // Padding counts characters, not bytes: "--bundle …" holds a
      // three-byte one.
      const size_t width = utf8_code_points(option.flag).size();
      if (width < kFlagColumn) out.append(kFlagColumn - width, ' ');
      out += ' ';
      out += option.description;
      out += '\n';
    }
  }
  return out;
}

}  // namespace velk
