// The effect lines of a software plan, against prefixes in each state an install finds.
#include "extract_fixture.h"

namespace velk::testing {
namespace {

class SoftwarePlan : public PrefixTest {
 protected:
  Lines effects(Operation op, std::string_view version) {
    auto lines = software_plan_effects(op, P(), version, planned_software(version).build);
    EXPECT_TRUE(lines.ok()) << lines.error().full();
    return lines.ok() ? *lines : Lines{};
  }

  // An install's or update's lines: the opening line, if any, then the fetch.
  Lines fetch_lines(std::string_view version, const std::string& opening = "") {
    const Build build = planned_software(version).build;
    Lines lines = {"download " + build.url + " (" + std::to_string(build.byte_length) +
                       " bytes) in the operation's own download phase",
                   "check those bytes against " + build.sha256,
                   "place them as " + P() + "/" + std::string(version) + "/velk",
                   "point " + P() + "/bin/velk at it"};
    if (!opening.empty()) lines.insert(lines.begin(), opening);
    return lines;
  }
};

TEST_F(SoftwarePlan, InstallLinesFollowWhatIsAlreadyThere) {
  // Not even the prefix: no opening line.
  EXPECT_EQ(effects(Operation::software_install, "1.0.18"), fetch_lines("1.0.18"));
  EXPECT_FALSE(exists(P()));

  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  EXPECT_EQ(effects(Operation::software_install, "1.0.18"),
            fetch_lines("1.0.18", "replace " + P() + "/1.0.18, which is already installed"));
  EXPECT_EQ(effects(Operation::software_update, "1.0.13"),
            fetch_lines("1.0.13", "move " + P() +
                                      "/bin/velk from 1.0.18 to 1.0.13, keeping 1.0.18 where it is"));

  // Nothing exposed: the installed versions are named.
  ASSERT_EQ(::unlink((P() + "/bin/.velk.version").c_str()), 0);
  make_dirs(P() + "/0.9");
  EXPECT_EQ(effects(Operation::software_install, "1.0.13"),
            fetch_lines("1.0.13", "install 1.0.13 beside 0.9, 1.0.18, which no entry point names"));
}

TEST_F(SoftwarePlan, RemoveLinesNameWhatStays) {
  ASSERT_TRUE(install_version(P(), "1.0.18").ok());
  EXPECT_EQ(effects(Operation::software_remove, "1.0.18"),
            (Lines{"remove " + P() + "/1.0.18, the 1.0.18 tree this provider installed",
                   "remove " + P() + "/bin/velk"}));

  ASSERT_TRUE(install_version(P(), "1.0.13").ok());
  EXPECT_EQ(effects(Operation::software_remove, "1.0.13"),
            (Lines{"remove " + P() + "/1.0.13, the 1.0.13 tree this provider installed",
                   "remove " + P() + "/bin/velk",
                   "leave 1.0.18 in place: this build pins 1.0.13 and does not decide about "
                   "versions it does not pin"}));
  // The version not exposed: the command stays, as apply leaves it.
  EXPECT_EQ(effects(Operation::software_remove, "1.0.18"),
            (Lines{"remove " + P() + "/1.0.18, the 1.0.18 tree this provider installed",
                   "leave 1.0.13 in place: this build pins 1.0.18 and does not decide about "
                   "versions it does not pin"}));
}

// (The plan's artifact entry is compared by the protocol guide's session.)
TEST_F(SoftwarePlan, ArchivesAreExtractedIntoTheVersionTree) {
  Build build = planned_software("1.0.18").build;
  build.format = ArtifactForm::tar_gzip;
  build.entry_point = "velk-1.0.18/bin/velk";
  auto lines = software_plan_effects(Operation::software_install, P(), "1.0.18", build);
  ASSERT_TRUE(lines.ok());
  EXPECT_EQ(lines->at(2), "extract them into " + P() + "/1.0.18, whose velk-1.0.18/bin/velk is "
                          "the program");
}

}  // namespace
}  // namespace velk::testing
