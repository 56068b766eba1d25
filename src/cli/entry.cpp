#include "cli/entry.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <iostream>
#include <sstream>
#include <span>
#include <string>
#include <variant>

#include "cli/argument_error.h"
#include "cli/provider_grammar.h"
#include "cli/usage.h"
#include "cli/user_commands.h"
#include "cli/user_grammar.h"
#include "core/interrupt.h"
#include "core/progress.h"
#include "core/json.h"
#include "core/text.h"
#include "product/declaration.h"
#include "protocol/dispatch.h"

namespace velk {
namespace {

// A closed standard descriptor would be handed out again by the next open,
// and this program's output would land in whatever file that was (a state
// file, a lock). Park /dev/null on any that are closed.
void keep_standard_descriptors_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDWR);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

int print_text(const std::string& text) {
  progress_clear();
  std::cout << text;
  std::cout.flush();
  return 0;
}

int fail(const std::string& message) {
  progress_clear();
  std::cout.flush();
  std::cerr << declaration().provider_id << ": " << message << '\n';
  return 1;
}

// The arguments are text: one that is not UTF-8 is refused before anything
// reads it, named by its position and shown in the quoted form.
std::optional<std::string> invalid_argument(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i)
    if (!is_valid_utf8(args[i]))
      return "argument " + std::to_string(i + 1) + " is not valid UTF-8: " + quoted_form(args[i]);
  return std::nullopt;
}

int run_user(UserWord word, std::span<const std::string> rest) {
  auto parsed = parse_user_command(word, rest);
  if (!parsed) return fail(parsed.error().message);
  // Held until the work is done, so no line of it lands on a progress line.
  std::ostringstream out;
  const Status status = run_user_command(*parsed, out);
  progress_clear();
  std::cout << out.str();
  if (!status) return fail(status.error().message);
  std::cout.flush();
  return 0;
}

int run_provider(ProviderCommand command, std::span<const std::string> rest) {
  // "--help" before the first bare "--" asks for help; after it, the
  // product gets it.
  const auto bare = std::find(rest.begin(), rest.end(), std::string("--"));
  if (std::find(rest.begin(), bare, std::string("--help")) != bare)
    return print_text(provider_help(command));

  auto parsed = parse_provider_request(command, rest);
  // Argument errors go to standard error whatever code they carry.
  if (!parsed) return fail(parsed.error().message);
  const ProviderOutcome outcome = run_provider_request(*parsed);
  if (const auto* failure = std::get_if<ProviderFailure>(&outcome)) return fail(failure->message);
  if (const auto* refusal = std::get_if<Error>(&outcome)) {
    // A change stopped by a signal answers with no document: the process
    // ends by that signal once the line below is written.
    if (stopped_before_change() || stopped_for_recovery()) return fail(refusal->message);
    return print_text(compact_json(refusal_document(*refusal)) + "\n");
  }
  return print_text(compact_json(std::get<Json>(outcome)) + "\n");
}

int dispatch(const std::vector<std::string>& args) {
  if (const auto invalid = invalid_argument(args)) return fail(*invalid);
  if (args.empty() || args.front() == "--help") return print_text(usage_text());
  if (args.front() == "--version") return print_text(version_text());

  const std::string& word = args.front();
  const std::span<const std::string> rest(args.begin() + 1, args.end());
  if (const auto user = parse_user_word(word)) {
    // `status` is the provider command wherever "--json" appears.
    const bool json = std::find(rest.begin(), rest.end(), std::string("--json")) != rest.end();
    if (*user != UserWord::status || !json) return run_user(*user, rest);
  }
  if (const auto command = parse_provider_command(word)) return run_provider(*command, rest);
  return fail(word + " is not a provider protocol v3 command");
}

}  // namespace

int run_entry(const std::vector<std::string>& args) {
  keep_standard_descriptors_open();
  progress_enable_if_terminal();
  const int status = dispatch(args);
  // Output that could not be written is a failure, never a silent success.
  std::cout.flush();
  const bool written = static_cast<bool>(std::cout);
  if (!written) std::cerr << declaration().provider_id << ": cannot write to standard output\n";
  // A stop requested during a change was obeyed (the change stopped before
  // it began, and said so) or the change was past its point of no return
  // and was finished; either way the process now ends by that signal.
  if (const int signal = interrupt_signal()) {
    if (status == 0 && !stopped_before_change() && !stopped_for_recovery())
      std::cerr << declaration().provider_id << ": interrupted by " << signal_name(signal)
                << " while the change was under way; the change was finished\n";
    std::cerr.flush();
    end_by_signal(signal);
  }
  return written ? status : 1;
}

}  // namespace velk
