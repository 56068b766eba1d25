// The generated bash completion, sourced into a real bash and driven through
// COMP_WORDS and COMP_CWORD as bash drives it; COMPREPLY is read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/runner.h"
#include "support/temp_dir.h"

namespace velk {
namespace {

using namespace velk::testing;
using Words = std::vector<std::string>;

// The sorted candidates bash offers for the last word of `line`; file names relative to `cwd`.
Words complete(const Words& line, const std::string& cwd = "") {
  const std::string script = std::string(VELK_BUILD_DIR) + "/completion/velk-setup-system.bash";
  Words args = {"--norc", "--noprofile", "-c",
                "source \"$1\" && shift && COMP_WORDS=(\"$@\") && COMP_CWORD=$(($# - 1)) && "
                "_velk_setup_system && printf '%s\\n' \"${COMPREPLY[@]}\"",
                "bash", script, "velk-setup-system"};
  args.insert(args.end(), line.begin(), line.end());
  RunOptions options;
  options.cwd = cwd;
  const RunResult r = run_program(VELK_BASH, args, options);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  Words out;
  std::istringstream in(r.out);
  for (std::string candidate; std::getline(in, candidate);)
    if (!candidate.empty()) out.push_back(candidate);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(BashCompletion, OffersCommandWordsThenTheFlagsOfTheCommand) {
  EXPECT_EQ(complete({"ins"}), (Words{"install"}));
  EXPECT_EQ(complete({"re"}),
            (Words{"recover-operation", "reinstall", "release", "remove", "restore"}));
  EXPECT_EQ(complete({"--v"}), (Words{"--version"}));

  EXPECT_EQ(complete({"hold", "--"}), (Words{"--backup", "--reason", "--target"}));
  // A flag already given is not offered again.
  EXPECT_EQ(complete({"hold", "--target", "/t", "--"}), (Words{"--backup", "--reason"}));
  EXPECT_EQ(complete({"plan-operation", "--target", "/t", "--json", "--op"}),
            (Words{"--operation", "--operation-id"}));
  // status takes the flags of both of its forms.
  EXPECT_EQ(complete({"status", "--t"}), (Words{"--target", "--target-scope"}));
  EXPECT_EQ(complete({"list", ""}), Words{});
}

TEST(BashCompletion, OffersSetupIdsOperationsAndScopesWhereTheyAreValues) {
  EXPECT_EQ(complete({"install", "m"}), (Words{"minimal", "mirel-builder"}));
  EXPECT_EQ(complete({"select", "--target", "/t", ""}),
            (Words{"baseline", "full-auto", "minimal", "mirel-builder"}));
  // One setup name is all install takes.
  EXPECT_EQ(complete({"install", "minimal", ""}), (Words{"--target"}));
  EXPECT_EQ(complete({"plan-operation", "--operation", "software_"}),
            (Words{"software_install", "software_remove", "software_update"}));
  EXPECT_EQ(complete({"status", "--json", "--target-scope", ""}), (Words{"project", "user_root"}));
  // A value that is the caller's own text gets no candidates.
  EXPECT_EQ(complete({"hold", "--reason", ""}), Words{});
}

TEST(BashCompletion, OffersDirectoriesForTargetsAndFilesForPlans) {
  TempDir dir;
  make_dirs(dir / "home");
  make_dirs(dir / "holder");
  write_text(dir / "hplan.json", "{}");
  EXPECT_EQ(complete({"status", "--target", "h"}, dir.path()), (Words{"holder", "home"}));
  EXPECT_EQ(complete({"software", "--prefix", "ho"}, dir.path()), (Words{"holder", "home"}));
  EXPECT_EQ(complete({"apply-operation", "--plan", "h"}, dir.path()),
            (Words{"holder", "home", "hplan.json"}));
  // After a bare "--", launch hands words to the product: file names.
  EXPECT_EQ(complete({"launch", "--", "hp"}, dir.path()), (Words{"hplan.json"}));
}

}  // namespace
}  // namespace velk
