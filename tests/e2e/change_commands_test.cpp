// The commands that change a target, through the binary.

#include "consumer.h"
#include "core/text.h"

namespace velk {
namespace {

using namespace velk::testing;

RunResult velk(const Words& args, const std::string& catalog = kCatalog) {
  RunOptions options;
  options.set_env = {{"VELK_SETUP_SYSTEM_SETUP_CATALOG", catalog}};
  return run_velk(args, options);
}

std::string ok(const Words& args) {
  const RunResult r = velk(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  return r.out;
}

std::string applied(const std::string& setup, const std::string& target, int slot) {
  return "Applied setup " + setup + " to " + target + ".\n  previous state captured as slot-00000000000" +
         std::to_string(slot) + "\n  target identity now " + short_digest(status_identity(target)) +
         "\n";
}

std::string home_file(const std::string& setup, const std::string& path) {
  return read_text(kCatalog + "/" + setup + "/home/" + path);
}

TEST(ChangeCommands, ReinstallSelectAndRestoreEachCaptureTheStateTheyReplace) {
  TempDir t;
  expect_failure(velk({"reinstall", "--target", t.path()}),
                 "nothing is recorded here to reinstall; use `install <setup>` to choose one");
  expect_failure(velk({"restore", "--target", t.path()}), "this target has no backup to restore");
  // The product's own file inside an owned surface outlives every change.
  const std::string kept = t / "plugins/known_marketplaces.json";
  write_text(kept, "{\"mine\":true}\n");
  const std::string installed = ok({"install", "minimal", "--target", t.path()});
  EXPECT_EQ(installed, applied("minimal", t.path(), 1));

  write_text(t / "AGENTS.md", "edited by hand\n");
  const std::string reinstalled = ok({"reinstall", "--target", t.path()});
  EXPECT_EQ(reinstalled, applied("minimal", t.path(), 2));
  EXPECT_NE(ok({"status", "--target", t.path()}).find("Drift    none\n"), std::string::npos);
  EXPECT_EQ(read_text(t / "AGENTS.md"), home_file("minimal", "AGENTS.md"));

  const std::string selected = ok({"select", "baseline", "--target", t.path()});
  EXPECT_EQ(selected, applied("baseline", t.path(), 3));
  EXPECT_EQ(read_text(t / "AGENTS.md"), home_file("baseline", "AGENTS.md"));
  EXPECT_EQ(read_text(t / "config.toml"), home_file("baseline", "config.toml"));
  const auto state = parse_json(read_text(t / "MIREL-VELK-PROVIDER.json")).value();
  EXPECT_EQ(state.at("setup_stable_id"), "baseline");
  EXPECT_TRUE(state.at("bundle_digest").is_null());
  EXPECT_TRUE(state.at("provider_release_digest").is_null());
  EXPECT_EQ(state.at("written_paths"), Json({"AGENTS.md", "config.toml"}));

  // A text that is not a reference is refused as one, before any lookup.
  expect_failure(velk({"restore", "--backup", "slot-9", "--target", t.path()}),
                 "slot-9 is not a backup reference");
  expect_failure(velk({"restore", "--backup", "slot-000000000009", "--target", t.path()}),
                 "slot-000000000009 is not a completed backup of this target");

  const Json record =
      parse_json(read_text(t / ".velk-setup-system/backups/slot-000000000003/slot.json")).value();
  EXPECT_EQ(ok({"restore", "--backup", "slot-000000000003", "--target", t.path()}),
            "Restored slot-000000000003 into " + t.path() +
                ".\n  state before this restore captured as slot-000000000004\n");
  EXPECT_EQ(status_identity(t.path()), record.at("target_identity_digest"));
  EXPECT_EQ(read_text(t / "AGENTS.md"), home_file("minimal", "AGENTS.md"));
  EXPECT_FALSE(exists(t / "config.toml"));
  EXPECT_EQ(parse_json(read_text(t / "MIREL-VELK-PROVIDER.json"))->at("setup_stable_id"),
            "minimal");
  EXPECT_EQ(ok({"restore", "--target", t.path()}),
            "Restored the most recent backup into " + t.path() +
                ".\n  state before this restore captured as slot-000000000005\n");
  EXPECT_EQ(read_text(kept), "{\"mine\":true}\n");
  EXPECT_EQ(read_text(t / "config.toml"), home_file("baseline", "config.toml"));
}

TEST(ChangeCommands, HoldAndReleaseAnswerOnceAndRefuseWhatIsNoCompleteSlot) {
  TempDir t;
  const std::string slot1 = "slot-000000000001", slot2 = "slot-000000000002";
  const std::string held = t / (".velk-setup-system/backups/" + slot1 + "/HELD");
  const auto run = [&](Words args) {
    args.insert(args.end(), {"--target", t.path()});
    return velk(args);
  };
  expect_failure(run({"hold"}), "hold requires --backup <ref>, and this target has no backups");
  EXPECT_FALSE(exists(t / ".velk-setup-system"));

  ok({"install", "minimal", "--target", t.path()});
  expect_failure(run({"hold", "--backup", "slot-1"}),
                 "\"slot-1\" is not a backup reference: a reference is slot- followed by exactly "
                 "12 digits, as `backups` lists them");
  expect_failure(run({"release", "--backup", slot2}), slot2 + " is not a completed slot in this pool");
  EXPECT_FALSE(exists(held));

  // The user guide shows what a first hold and a release print.
  ASSERT_EQ(run({"hold", "--backup", slot1, "--reason", "before the migration"}).exit_code, 0);
  expect_output(run({"hold", "--backup", slot1, "--reason", "something else"}),
                slot1 + " was already held (before the migration).\n");
  EXPECT_EQ(read_text(held), "before the migration");
  ASSERT_EQ(run({"release", "--backup", slot1}).exit_code, 0);
  EXPECT_FALSE(exists(held));
  expect_output(run({"release", "--backup", slot1}), slot1 + " was not held; nothing to release.\n");
  ASSERT_EQ(run({"hold", "--backup", slot1}).exit_code, 0);
  EXPECT_EQ(read_text(held), "no reason recorded");

  ok({"reinstall", "--target", t.path()});
  expect_failure(run({"release"}),
                 "release requires --backup <ref>; this target holds " + slot2 + ", " + slot1);
}

TEST(ChangeCommands, RemoveRefusesWhatItCannotProveItWroteAndCapturesNothing) {
  TempDir empty;
  EXPECT_EQ(ok({"remove", "--target", empty.path()}),
            "Nothing to remove: velk-setup-system has applied no setup at " + empty.path() +
                ", and none of what it declares is here.\n");
  EXPECT_FALSE(exists(empty / ".velk-setup-system"));

  TempDir hand;
  write_text(hand / "AGENTS.md", "mine\n");
  make_dirs(hand / "skills");
  expect_failure(velk({"remove", "--target", hand.path()}),
                 "velk-setup-system has applied no setup at " + hand.path() +
                     " -- no state file, or one written before this build recorded what it "
                     "wrote. Removing would take AGENTS.md, skills whole, and nothing here says "
                     "this provider put them there. Install a setup first if you want one "
                     "removed, or take what you put there yourself.");
  EXPECT_EQ(read_text(hand / "AGENTS.md"), "mine\n");
  EXPECT_FALSE(exists(hand / ".velk-setup-system"));

  TempDir t;
  ok({"install", "mirel-builder", "--target", t.path()});
  for (const char* kept : {"auth.json", "plugins/known_marketplaces.json"})
    write_text(t / kept, "{}\n");
  EXPECT_EQ(ok({"remove", "--target", t.path()}),
            "Removed everything velk-setup-system owns from " + t.path() +
                ".\n  previous state captured as slot-000000000002\n  restore it with:  "
                "restore --target " + t.path() + "\n");
  for (const char* gone : {"AGENTS.md", "config.toml", "skills", "agents"})
    EXPECT_FALSE(exists(t / gone)) << gone;
  for (const char* kept : {"auth.json", "plugins/known_marketplaces.json"})
    EXPECT_EQ(read_text(t / kept), "{}\n") << kept;
}

TEST(ChangeCommands, AnUnsafeCatalogSetupIsRefusedBeforeAnythingIsWritten) {
  TempDir catalog;
  const auto setup = [&](const std::string& id) {
    write_text(catalog / (id + "/setup.json"),
               R"({"schema_version":1,"id":")" + id + R"(","description":"d"})");
    write_text(catalog / (id + "/home/AGENTS.md"), "ok\n");
    return catalog / (id + "/home");
  };
  write_text(setup("outside") + "/notes.txt", "x\n");
  write_text(setup("secret") + "/plugins/known_marketplaces.json", "{}\n");
  // Where case is ignored another letter case lands on the product's file.
  write_text(setup("cased") + "/plugins/Known_Marketplaces.json", "{}\n");
  ASSERT_EQ(::symlink("/etc/hostname", (setup("linked") + "/config.toml").c_str()), 0);

  TempDir t;
  const auto refused = [&](const std::string& word, const std::string& id,
                           const std::string& why) {
    expect_failure(velk({word, id, "--target", t.path()}, catalog.path()),
                   "setup \"" + id + "\" cannot be written: " + why + "; no effect was made");
  };
  refused("install", "outside", "\"notes.txt\" lies outside the entries velk-setup-system owns");
  refused("select", "secret",
          "\"plugins/known_marketplaces.json\" is a path velk-setup-system never touches");
  refused("install", "cased",
          "\"plugins/Known_Marketplaces.json\" is a path velk-setup-system never touches");
  refused("install", "linked",
          "\"config.toml\" is a symbolic link, and a setup holds regular files only");
  EXPECT_EQ(tree_entries(t.path()), Words{});
  const RunResult listed = velk({"list"}, catalog.path());
  EXPECT_EQ(listed.exit_code, 0) << listed.err;
  for (const char* id : {"outside", "secret", "cased", "linked"})
    EXPECT_NE(listed.out.find(id), std::string::npos) << id;
}

}  // namespace
}  // namespace velk
