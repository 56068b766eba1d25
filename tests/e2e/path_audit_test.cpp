// The everyday commands under strace: no call names a path below a target or prefix by string
// or resolves several components below a descriptor but by openat2 (the product is not audited).
#include <fstream>

#include "consumer.h"

namespace velk {
namespace {

using namespace velk::testing;

// A traced call's top-level arguments (split outside quotes and brackets), or nullopt.
struct Call {
  std::string name;
  std::vector<std::string> args;
};

std::optional<Call> parse_call(std::string_view line) {
  // "1234 name(args) = result", the pid first with -f and -o.
  size_t at = line.find_first_not_of("0123456789 ");
  if (at == std::string_view::npos) return std::nullopt;
  const size_t open = line.find('(', at);
  if (open == std::string_view::npos) return std::nullopt;
  Call call{std::string(line.substr(at, open - at)), {}};
  if (call.name.empty() || call.name.find_first_of(" <>") != std::string::npos) return std::nullopt;
  std::string arg;
  int depth = 0;
  bool quoted = false;
  for (size_t i = open + 1; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      arg += c;
      if (c == '\\' && i + 1 < line.size()) arg += line[++i];
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') quoted = true;
    if (c == '[' || c == '{' || c == '<') ++depth;
    if (c == ']' || c == '}' || c == '>') --depth;
    if (depth == 0 && (c == ',' || c == ')')) {
      const size_t first = arg.find_first_not_of(' ');
      call.args.push_back(first == std::string::npos ? "" : arg.substr(first));
      arg.clear();
      if (c == ')') break;
      continue;
    }
    arg += c;
  }
  return call;
}

// The text of a quoted argument ("\"a\\\"b\"" -> a"b), or nullopt.
std::optional<std::string> string_arg(const std::string& arg) {
  if (arg.size() < 2 || arg.front() != '"') return std::nullopt;
  std::string out;
  for (size_t i = 1; i + 1 < arg.size(); ++i) {
    if (arg[i] == '\\' && i + 2 < arg.size()) ++i;
    out += arg[i];
  }
  return out;
}

bool strictly_below(const std::string& raw, const std::vector<std::string>& roots) {
  // ".." and "." resolved as text, as the kernel would without links.
  std::vector<std::string_view> parts;
  for (const std::string_view part : path_components(raw)) {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else {
      parts.push_back(part);
    }
  }
  std::string path;
  for (const std::string_view part : parts) (path += '/') += part;
  for (const std::string& root : roots)
    if (path.size() > root.size() + 1 && path.compare(0, root.size() + 1, root + "/") == 0)
      return true;
  return false;
}

// Why a traced call names a path below a root by string, or ""; `cwd` is the run's.
std::string finding(const Call& call, const std::vector<std::string>& roots,
                    const std::string& cwd) {
  const auto named = [&](const std::string& path) {
    const std::string full = path.starts_with("/") ? path : cwd + "/" + path;
    return strictly_below(full, roots);
  };
  // A descriptor may be given one name, never several components (each
  // resolved by string, links included); openat2 resolves without links.
  const auto pair_at = [&](size_t dir, size_t path) -> std::string {
    if (path >= call.args.size()) return "";
    const auto text = string_arg(call.args[path]);
    if (!text) return "";
    if (call.args[dir].starts_with("AT_FDCWD") || text->starts_with("/"))
      return named(*text) ? "names " + *text + " by string" : "";
    if (call.name != "openat2" && text->find('/') != std::string::npos)
      return "resolves " + *text + " below " + call.args[dir] + " component by component";
    return "";
  };
  static const std::vector<std::pair<std::string, std::vector<size_t>>> at_calls = {
      {"openat", {0}},     {"openat2", {0}},    {"newfstatat", {0}}, {"fstatat64", {0}},
      {"statx", {0}},      {"faccessat", {0}},  {"faccessat2", {0}}, {"mkdirat", {0}},
      {"mknodat", {0}},    {"unlinkat", {0}},   {"readlinkat", {0}}, {"fchmodat", {0}},
      {"fchownat", {0}},   {"utimensat", {0}},  {"renameat", {0, 2}}, {"renameat2", {0, 2}},
      {"linkat", {0, 2}},  {"symlinkat", {1}},  {"inotify_add_watch", {}}};
  for (const auto& [name, dirs] : at_calls) {
    if (call.name != name) continue;
    for (const size_t dir : dirs)
      if (std::string why = pair_at(dir, dir + 1); !why.empty()) return why;
    return "";
  }
  // Path-only calls: every string is a path but a link's content or a read link's buffer.
  if (call.name == "execve" || call.name == "execveat") return "";
  for (size_t i = 0; i < call.args.size(); ++i) {
    if (call.name == "symlink" && i == 0) continue;
    if (call.name == "readlink" && i == 1) continue;
    if (const auto text = string_arg(call.args[i]); text && named(*text))
      return "names " + *text + " by string";
  }
  return "";
}

struct Audit {
  TempDir base;
  std::string target = base / "target";
  std::string prefix = base / "prefix";
  std::string side = base / "side";
  std::vector<std::string> findings;
  int runs = 0;
  size_t calls = 0;  // audited, so that an empty trace cannot pass

  Audit() {
    make_dirs(target);
    make_dirs(side);
    make_dirs(base / "tmp");
  }

  RunResult run(const Words& args, int expected_exit = 0) {
    const std::string log = side + "/trace-" + std::to_string(++runs);
    Words command = {"-f", "-y", "-qq", "-s", "4096", "-o", log, "-e", "trace=%file",
                     "-E", "VELK_SETUP_SYSTEM_SETUP_CATALOG=" + kCatalog,
                     "-E", "TMPDIR=" + base / "tmp",
                     "-E", "ASAN_OPTIONS=detect_leaks=0:abort_on_error=1", VELK_BINARY_PATH};
    command.insert(command.end(), args.begin(), args.end());
    RunOptions options;
    options.cwd = side;
    const RunResult r = run_program(kStrace, command, options);
    EXPECT_EQ(r.exit_code, expected_exit) << args[0] << ": " << r.out << r.err;
    std::ifstream in(log);
    for (std::string line; std::getline(in, line);) {
      const auto call = parse_call(line);
      if (!call) continue;
      ++calls;
      // The launched product's own calls are not this program's.
      if (call->name == "execve" && call->args.size() > 0 &&
          strictly_below(string_arg(call->args[0]).value_or(""), {prefix}) &&
          line.ends_with("= 0"))
        break;
      if (std::string why = finding(*call, {target, prefix}, side); !why.empty())
        findings.push_back(args[0] + ": " + why + "\n    " + line);
    }
    return r;
  }

  Json plan_and_apply(const std::string& operation, const Words& plan_flags,
                      const Words& apply_flags) {
    const Json envelope = Json::parse(run(plan_words(target, operation, plan_flags)).out);
    if (!envelope.contains("plan")) {
      ADD_FAILURE() << operation << " was not planned: " << envelope.dump();
      return envelope;
    }
    const std::string stored = store_plan(envelope, side + "/plan-" + std::to_string(runs));
    const Words apply = apply_words(target, stored, envelope.value("plan_digest", ""), apply_flags);
    const Json applied = Json::parse(run(apply).out);
    EXPECT_EQ(applied.value("state", ""), "verified") << applied.dump();
    return applied;
  }
};

TEST(PathAudit, NoCommandReachesBelowATargetOrPrefixByAPathString) {
  if (!strace_runs()) GTEST_SKIP() << "strace cannot run here";
  Audit a;
  const std::string& t = a.target;
  write_text(t + "/AGENTS.md", "mine\n");
  write_text(t + "/skills/a/SKILL.md", "a\n");

  a.run({"install", "mirel-builder", "--target", t});
  write_text(t + "/config.toml", "# drifted\n");  // diff then lists the surfaces
  for (const Words& report : {Words{"status", "--target", t}, Words{"status", "--target", t, "--json"},
                              Words{"diff", "--target", t}, Words{"backups", "--target", t}})
    a.run(report);
  a.run({"hold", "--backup", "slot-000000000001", "--reason", "audit", "--target", t});
  a.run({"release", "--backup", "slot-000000000001", "--target", t});
  a.run({"select", "baseline", "--target", t});
  a.run({"reinstall", "--target", t});
  a.run({"restore", "--target", t});
  a.run({"remove", "--target", t});

  // A change interrupted after its journal: recovery puts the newest slot back.
  ASSERT_TRUE(publish_prepared(t, "op-audit", "install", "slot-000000000005"));
  a.run({"recover-operation", "--target", t, "--json"});

  Json stamp = {{"schema_version", 1},   {"product_name", "mirel-velk-setup"},
                {"build_version", "1.8.2"}, {"setup_id", "minimal"},
                {"canonical_target", t},  {"managed_files", Json::object()}};
  write_text(t + "/MIREL-VELK-BUILD-SETUP.json", compact_json(stamp));
  a.run({"adopt", "--target", t});

  // Over the wire: a bundle, and each software operation into the prefix.
  const BundleClaim bundle =
      write_bundle(a.side + "/b.zip", make_bundle({{"AGENTS.md", {"# team\n"}},
                                                   {"skills/x/SKILL.md", {"x\n"}}}));
  a.plan_and_apply("replace", bundle_flags(bundle), bundle_flags(bundle));
  const Words prefix = {"--prefix", a.prefix};
  const Words current = {"--prefix", a.prefix, "--software-artifact", host_artifact("1.0.18")};
  const Words previous = {"--prefix", a.prefix, "--software-artifact", host_artifact("1.0.13")};
  a.plan_and_apply("software_install", prefix, current);
  const Words older = {"--prefix", a.prefix, "--software-version", "1.0.13"};
  a.plan_and_apply("software_update", older, previous);
  a.run({"software", "--prefix", a.prefix});
  a.run({"rollback", "--to", "1.0.18", "--prefix", a.prefix});
  a.run({"launch", "--target", t, "--prefix", a.prefix, "--json", "--", "audit"});
  a.plan_and_apply("software_remove", prefix, prefix);

  std::string report;
  for (const std::string& f : a.findings) report += f + "\n";
  EXPECT_TRUE(a.findings.empty()) << a.findings.size() << " calls name a path below the target "
                                  << "or the prefix by string:\n" << report;
  EXPECT_EQ(a.runs, 24);
  EXPECT_GT(a.calls, 2000u);
}

}  // namespace
}  // namespace velk
