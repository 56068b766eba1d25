// Writes a shell completion script for velk-setup-system from the program's
// own tables: the command words of both grammars, the flags each takes, the
// setup ids of the built-in catalog, the operation names, the scope words,
// the permission profiles and the bundle formats. Run at build time, so the
// scripts cannot drift from the program they complete.
//
//   velk-generate-completion bash|zsh|fish OUTPUT
#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "cli/command_table.h"
#include "cli/user_command.h"
#include "cli/user_table.h"
#include "product/builtin_setups.h"
#include "product/declaration.h"
#include "product/operation.h"
#include "protocol/request.h"

namespace velk {
namespace {

using Strings = std::vector<std::string>;

struct Word {
  std::string name;
  std::string description;  // provider commands only: the help's first sentence
  Strings flags;
  bool setup_name = false;
  bool passes_through = false;
};

struct Tables {
  std::string program;
  Strings top_flags = {"--help", "--version"};
  std::vector<Word> words;  // the user words, then the provider commands not among them
  Strings setup_ids;
  Strings directory_flags = {"--target", "--prefix"};
  Strings file_flags = {"--plan", "--bundle", "--software-artifact"};
  std::map<std::string, Strings> flag_words;  // flags whose values are a fixed list
  Strings valued_flags;                       // every other flag that takes a value
  Strings bare_flags = {"--json", "--help"};  // flags that take no value
  std::string repeatable = "--software-artifact";
};

void add_unique(Strings& list, std::string_view item) {
  if (std::find(list.begin(), list.end(), item) == list.end()) list.emplace_back(item);
}

bool contains(const Strings& list, std::string_view item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

std::string first_sentence(std::string_view text) {
  const size_t end = text.find(". ");
  std::string sentence(text.substr(0, end));
  if (!sentence.empty() && sentence.back() == '.') sentence.pop_back();
  return sentence;
}

Tables read_tables() {
  const ProductDeclaration& d = declaration();
  Tables t;
  t.program = std::string(d.provider_id);
  for (UserWord user : kUserWords) {
    Word w;
    w.name = std::string(user_word_name(user));
    const UserWordRow& row = user_word_row(user);
    w.setup_name = row.setup_name;
    for (const UserFlag& f : row.flags) add_unique(w.flags, f.flag);
    t.words.push_back(std::move(w));
  }
  for (ProviderCommand command : kProviderCommands) {
    const std::string name(provider_command_name(command));
    auto it = std::find_if(t.words.begin(), t.words.end(),
                           [&](const Word& w) { return w.name == name; });
    if (it == t.words.end()) {
      t.words.push_back(Word{name, {}, {}, false, false});
      it = std::prev(t.words.end());
    }
    const ProviderCommandRow& row = provider_command_row(command);
    it->description = first_sentence(row.description);
    for (std::string_view flag : provider_command_flags(command)) add_unique(it->flags, flag);
    for (const OptionalFlag& option : row.optional)
      if (option.flag == kPassThroughEntry) it->passes_through = true;
    add_unique(it->flags, "--help");  // prints the command's help
  }

  // The built-in catalog holds one "<id>/setup.json" per setup.
  for (const BuiltinFile& file : builtin_setup_files()) {
    const std::string_view path = file.path;
    const size_t slash = path.find('/');
    if (slash != std::string_view::npos && path.substr(slash + 1) == "setup.json")
      add_unique(t.setup_ids, path.substr(0, slash));
  }

  Strings& operations = t.flag_words["--operation"];
  for (Operation op : kOperations) operations.emplace_back(operation_name(op));
  Strings& scopes = t.flag_words["--target-scope"];
  for (TargetScope scope : d.scopes) scopes.emplace_back(scope_name(scope));
  Strings& profiles = t.flag_words["--permission-profile"];
  for (std::string_view profile : d.permission_profiles) profiles.emplace_back(profile);
  t.flag_words["--bundle-format"] = d.main_profile.bundle_formats;

  for (const Word& w : t.words)
    for (const std::string& flag : w.flags)
      if (!contains(t.bare_flags, flag) && !contains(t.directory_flags, flag) &&
          !contains(t.file_flags, flag) && t.flag_words.count(flag) == 0)
        add_unique(t.valued_flags, flag);
  return t;
}

std::string join(const Strings& list, std::string_view separator) {
  std::string out;
  for (const std::string& item : list) {
    if (!out.empty()) out += separator;
    out += item;
  }
  return out;
}

std::string function_name(const std::string& program) {
  std::string name = "_" + program;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

Strings top_words(const Tables& t) {
  Strings words = t.top_flags;
  for (const Word& w : t.words) words.push_back(w.name);
  return words;
}

// Single-quoted for a shell; no table text holds a quotation mark, but a
// description could.
std::string single_quoted(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'')
      out += "'\\''";
    else
      out += c;
  }
  return out + "'";
}

const char* const kHeader = "# Generated at build time from the program's command tables; do not edit.\n";

std::string bash_script(const Tables& t) {
  const std::string fn = function_name(t.program);
  std::string s = "# bash completion for " + t.program + "\n" + kHeader + "\n";
  s += fn + "() {\n";
  s += "  local cur=${COMP_WORDS[COMP_CWORD]} prev command=${COMP_WORDS[1]} i word\n";
  s += "  COMPREPLY=()\n";
  s += "  if (( COMP_CWORD <= 1 )); then\n";
  s += "    mapfile -t COMPREPLY < <(compgen -W " + single_quoted(join(top_words(t), " ")) +
       " -- \"$cur\")\n";
  s += "    return 0\n  fi\n";
  s += "  prev=${COMP_WORDS[COMP_CWORD-1]}\n";
  s += "  local flags setups passes_through\n";
  s += "  case $command in\n";
  for (const Word& w : t.words) {
    s += "    " + w.name + ") flags=" + single_quoted(join(w.flags, " "));
    if (w.setup_name) s += "; setups=" + single_quoted(join(t.setup_ids, " "));
    if (w.passes_through) s += "; passes_through=1";
    s += " ;;\n";
  }
  s += "    *) return 0 ;;\n  esac\n";
  s += "  # What follows a bare \"--\" goes to the product untouched.\n";
  s += "  if [[ -n $passes_through ]]; then\n";
  s += "    for (( i = 2; i < COMP_CWORD; i++ )); do\n";
  s += "      if [[ ${COMP_WORDS[i]} == -- ]]; then\n";
  s += "        mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n        return 0\n      fi\n";
  s += "    done\n  fi\n";
  s += "  case $prev in\n";
  s += "    " + join(t.directory_flags, "|") + ")\n";
  s += "      compopt -o filenames 2>/dev/null\n";
  s += "      mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")\n      return 0 ;;\n";
  s += "    " + join(t.file_flags, "|") + ")\n";
  s += "      compopt -o filenames 2>/dev/null\n";
  s += "      mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n      return 0 ;;\n";
  for (const auto& [flag, values] : t.flag_words)
    s += "    " + flag + ") mapfile -t COMPREPLY < <(compgen -W " + single_quoted(join(values, " ")) +
         " -- \"$cur\"); return 0 ;;\n";
  s += "    " + join(t.valued_flags, "|") + ") return 0 ;;\n";
  s += "  esac\n";
  s += "  # The flags already given, and how many setup names.\n";
  s += "  local given=' ' positional=0\n";
  s += "  for (( i = 2; i < COMP_CWORD; i++ )); do\n";
  s += "    word=${COMP_WORDS[i]}\n";
  s += "    case $word in\n";
  s += "      " + join(t.bare_flags, "|") + ") given+=\"$word \" ;;\n";
  s += "      --?*) given+=\"$word \"; i=$((i + 1)) ;;\n";
  s += "      *) positional=$((positional + 1)) ;;\n";
  s += "    esac\n  done\n";
  s += "  if [[ -n $setups && $positional -eq 0 && $cur != -* ]]; then\n";
  s += "    mapfile -t COMPREPLY < <(compgen -W \"$setups\" -- \"$cur\")\n    return 0\n  fi\n";
  s += "  local offer=\n";
  s += "  for word in $flags; do\n";
  s += "    if [[ $word == " + t.repeatable + " || $given != *\" $word \"* ]]; then\n";
  s += "      offer+=\"$word \"\n    fi\n  done\n";
  s += "  mapfile -t COMPREPLY < <(compgen -W \"$offer\" -- \"$cur\")\n";
  s += "  return 0\n}\n";
  s += "complete -F " + fn + " " + t.program + "\n";
  return s;
}

std::string zsh_described(const Word& w) {
  std::string entry = w.name;
  if (w.description.empty()) return single_quoted(entry);
  entry += ':';
  for (char c : w.description) {
    if (c == ':') entry += '\\';
    entry += c;
  }
  return single_quoted(entry);
}

std::string zsh_script(const Tables& t) {
  const std::string fn = function_name(t.program);
  std::string s = "#compdef " + t.program + "\n# zsh completion for " + t.program + "\n" +
                  kHeader + "\n";
  s += fn + "() {\n";
  s += "  local command=${words[2]} prev=${words[CURRENT-1]} passes_through word\n";
  s += "  local -a flags setups given offer commands\n";
  s += "  integer i positional=0\n";
  s += "  if (( CURRENT == 2 )); then\n";
  s += "    commands=(\n";
  for (const Word& w : t.words) s += "      " + zsh_described(w) + "\n";
  s += "    )\n";
  s += "    _describe -t commands " + single_quoted(t.program + " command") + " commands\n";
  s += "    compadd -- " + join(t.top_flags, " ") + "\n";
  s += "    return\n  fi\n";
  s += "  case $command in\n";
  for (const Word& w : t.words) {
    s += "    " + w.name + ") flags=(" + join(w.flags, " ") + ")";
    if (w.setup_name) s += "; setups=(" + join(t.setup_ids, " ") + ")";
    if (w.passes_through) s += "; passes_through=1";
    s += " ;;\n";
  }
  s += "    *) return 1 ;;\n  esac\n";
  s += "  # What follows a bare \"--\" goes to the product untouched.\n";
  s += "  if [[ -n $passes_through ]]; then\n";
  s += "    for (( i = 3; i < CURRENT; i++ )); do\n";
  s += "      if [[ ${words[i]} == -- ]]; then _files; return; fi\n";
  s += "    done\n  fi\n";
  s += "  case $prev in\n";
  s += "    " + join(t.directory_flags, "|") + ") _directories; return ;;\n";
  s += "    " + join(t.file_flags, "|") + ") _files; return ;;\n";
  for (const auto& [flag, values] : t.flag_words)
    s += "    " + flag + ") compadd -- " + join(values, " ") + "; return ;;\n";
  s += "    " + join(t.valued_flags, "|") + ") _message -e values 'a value'; return ;;\n";
  s += "  esac\n";
  s += "  for (( i = 3; i < CURRENT; i++ )); do\n";
  s += "    word=${words[i]}\n";
  s += "    case $word in\n";
  s += "      " + join(t.bare_flags, "|") + ") given+=($word) ;;\n";
  s += "      --?*) given+=($word); (( i++ )) ;;\n";
  s += "      *) (( positional++ )) ;;\n";
  s += "    esac\n  done\n";
  s += "  if (( ${#setups} && positional == 0 )) && [[ $PREFIX != -* ]]; then\n";
  s += "    compadd -- $setups\n    return\n  fi\n";
  s += "  for word in $flags; do\n";
  s += "    if [[ $word == " + t.repeatable + " ]] || (( ! ${given[(Ie)$word]} )); then\n";
  s += "      offer+=($word)\n    fi\n  done\n";
  s += "  compadd -- $offer\n}\n\n";
  s += fn + " \"$@\"\n";
  return s;
}

std::string fish_script(const Tables& t) {
  const std::string c = "complete -c " + t.program;
  Strings names;
  for (const Word& w : t.words) names.push_back(w.name);
  const std::string none_yet = " -n \"not __fish_seen_subcommand_from $commands\"";
  std::string s = "# fish completion for " + t.program + "\n" + kHeader + "\n";
  s += "set -l commands " + join(names, " ") + "\n";
  s += c + " -f\n";
  for (const std::string& flag : t.top_flags) s += c + none_yet + " -l " + flag.substr(2) + "\n";
  for (const Word& w : t.words) {
    s += c + none_yet + " -a " + w.name;
    if (!w.description.empty()) s += " -d " + single_quoted(w.description);
    s += "\n";
  }
  for (const Word& w : t.words) {
    s += "\n";
    const std::string when = " -n '__fish_seen_subcommand_from " + w.name + "'";
    if (w.setup_name) s += c + when + " -a " + single_quoted(join(t.setup_ids, " ")) + "\n";
    for (const std::string& flag : w.flags) {
      s += c + when + " -l " + flag.substr(2);
      if (contains(t.directory_flags, flag))
        s += " -x -a '(__fish_complete_directories (commandline -ct))'";
      else if (contains(t.file_flags, flag))
        s += " -r -F";
      else if (t.flag_words.count(flag))
        s += " -x -a " + single_quoted(join(t.flag_words.at(flag), " "));
      else if (!contains(t.bare_flags, flag))
        s += " -x";
      s += "\n";
    }
  }
  return s;
}

}  // namespace
}  // namespace velk

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: velk-generate-completion bash|zsh|fish OUTPUT\n";
    return 2;
  }
  const std::string shell = argv[1];
  const velk::Tables tables = velk::read_tables();
  std::string script;
  if (shell == "bash")
    script = velk::bash_script(tables);
  else if (shell == "zsh")
    script = velk::zsh_script(tables);
  else if (shell == "fish")
    script = velk::fish_script(tables);
  else {
    std::cerr << "velk-generate-completion: no shell named " << shell << "\n";
    return 2;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << script;
  out.close();
  if (!out) {
    std::cerr << "velk-generate-completion: cannot write " << argv[2] << "\n";
    return 1;
  }
  return 0;
}
