"""The Provider against the built program: what it reports, a change and its
restore, refusals as their own exception types, the software operations,
and the command line from the source tree."""

import json
import os
import re
import subprocess
import sys
import unittest
from urllib.parse import urlparse

from fixture import BINARY, CLIENT_DIR, SOURCE_DIR, ProviderTest

from velk_setup_client import (EMPTY_IDENTITY, MAIN_PROFILE, REFUSALS, USER_ROOT_PROFILE,
                               DigestMismatch, ProjectionProfileMismatch, ProviderFailure,
                               ProviderUnavailable, Refusal, Stale, UnsupportedBundleFormat,
                               UnsupportedOperation, UnsupportedPermissionProfile, build_bundle)


class Reports(ProviderTest):
    def test_info_publishes_the_built_in_profiles(self):
        info = self.provider.info()
        self.assertEqual(info.provider_id, "velk-setup-system")
        for built_in, published in ((MAIN_PROFILE, info.profile_for(None)),
                                    (USER_ROOT_PROFILE, info.profile_for("user_root"))):
            self.assertEqual(built_in, published)
            # The library digests the profile to the digest the provider publishes.
            self.assertEqual(built_in.digest, published.published_digest)

    def test_every_reason_code_of_the_provider_has_its_exception(self):
        with open(os.path.join(SOURCE_DIR, "src/core/error.h"), encoding="utf-8") as f:
            header = f.read()
        enum = re.search(r"enum class ReasonCode \{(.*?)\};", header, re.S).group(1)
        codes = re.findall(r"(\w+),", enum)
        self.assertEqual(list(REFUSALS), codes)
        for code, kind in REFUSALS.items():
            self.assertEqual(kind.__name__, "".join(w.title() for w in code.split("_")))


class Change(ProviderTest):
    def test_install_restore_recover_and_hold(self):
        target = self.target()
        empty = self.provider.status(target)
        self.assertEqual((empty.state, empty.cleanup_state, empty.journal, empty.backups,
                          empty.provider_state.present, empty.clean, empty.target_identity_digest),
                         ("unmanaged", "none", None, [], False, False, EMPTY_IDENTITY))
        bundle = build_bundle(self.tree("setup", {"AGENTS.md": b"one\n",
                                                  "skills/a/SKILL.md": b"a\n"}))
        plan = self.provider.plan(target, "install", bundle=bundle)
        self.assertEqual(plan.expected_target_digest, EMPTY_IDENTITY)
        applied = self.provider.apply(plan)
        self.assertRegex(applied.backup_ref, r"^slot-\d+$")
        status = self.provider.status(target)
        self.assertTrue(status.holds("setup", bundle.expected_identity))
        self.assertEqual(status.provider_state.backup_ref, applied.backup_ref)

        # A plan edited after planning is refused before the provider runs.
        edited = self.provider.plan(target, "backup")
        edited.document["operation_id"] = "other"
        with self.assertRaises(ValueError):
            self.provider.apply(edited)

        restore = self.provider.plan(target, "restore", backup_ref=applied.backup_ref)
        self.assertEqual(restore.restore_target_digest, EMPTY_IDENTITY)
        restored = self.provider.apply(restore)
        self.assertEqual(restored.target_identity_digest, EMPTY_IDENTITY)
        self.assertFalse(os.path.exists(os.path.join(target, "AGENTS.md")))

        self.assertFalse(self.provider.recover(target).recovered)

        # Holding the slot keeps it; a second hold and a second release say so.
        self.assertTrue(self.provider.hold(target, applied.backup_ref, "pre-rollout"))
        self.assertFalse(self.provider.hold(target, applied.backup_ref))
        held = [b for b in self.provider.status(target).backups if b.held]
        self.assertEqual([(b.backup_ref, b.hold_reason) for b in held],
                         [(applied.backup_ref, "pre-rollout")])
        self.assertTrue(self.provider.release(target, applied.backup_ref))
        self.assertFalse(self.provider.release(target, applied.backup_ref))

    def test_refusals_raise_their_own_type(self):
        target = self.target()
        global_bundle = build_bundle(self.tree("g", {"skills/a.md": b"a"}))
        not_a_directory = os.path.join(self.tree("f", {"file": b""}), "file")
        bad_claim = build_bundle(self.tree("b", {"AGENTS.md": b"a"}))
        bad_claim.bundle_digest = "sha256:" + "0" * 64
        cases = [
            (lambda: self.provider.plan(target, "install"), UnsupportedBundleFormat,
             "install arrives as a bundle, and none was named"),
            (lambda: self.provider.plan(target, "backup", bundle=global_bundle),
             UnsupportedOperation, "backup reads no bundle"),
            (lambda: self.provider.plan(target, "backup", permission_profile="root"),
             UnsupportedPermissionProfile, "root is not a permission profile"),
            (lambda: self.provider.plan(target, "backup", expires_at="2099-01-01T00:00:00Z"),
             Stale, "the expiry 2099-01-01T00:00:00Z is not the exact shape"),
            (lambda: self.provider.plan(target, "install", bundle=global_bundle,
                                        scope="user_root"),
             ProjectionProfileMismatch, "bundle v2's bound scope differs"),
            (lambda: self.provider.plan(not_a_directory, "backup"), ProviderUnavailable,
             f"target {not_a_directory} is not a directory"),
            (lambda: self.provider.validate(target, bad_claim), DigestMismatch,
             "the manifest's identity is not the one the caller named"),
        ]
        for call, kind, words in cases:
            with self.subTest(kind=kind.__name__):
                with self.assertRaises(kind) as raised:
                    call()
                self.assertIsInstance(raised.exception, Refusal)
                self.assertIn(words, raised.exception.detail)

    def test_program_failures_are_not_refusals(self):
        with self.assertRaisesRegex(ProviderFailure, "target must be absolute, got relative"):
            self.provider.command(["status", "--target", "relative"])
        with self.assertRaisesRegex(ProviderFailure, "cannot be run"):
            type(self.provider)(self.path("missing-binary")).status(self.target())


class Software(ProviderTest):
    def artifact(self, plan):
        url = plan.software_artifacts[0]["url"]
        return os.path.join(SOURCE_DIR, "releases", os.path.basename(urlparse(url).path))

    def test_install_beside_roll_back_and_remove(self):
        home, prefix = self.target("home"), self.path("prefix")
        self.assertEqual(self.provider.software(prefix).installed, [])
        plan = self.provider.software_plan(home, "software_install", prefix)
        result = self.provider.apply(plan, software_artifacts=[self.artifact(plan)])
        self.assertEqual((result.version, result.files, result.executable),
                         ("1.0.18", 1, os.path.join(prefix, "bin/velk")))

        plan = self.provider.software_plan(home, "software_install", prefix, "1.0.13")
        self.provider.apply(plan, software_artifacts=[self.artifact(plan)])
        inventory = self.provider.software(prefix)
        self.assertEqual((inventory.installed, inventory.exposed), (["1.0.13", "1.0.18"],
                                                                    "1.0.13"))
        back = self.provider.rollback(prefix, "1.0.18")
        self.assertEqual((back.changed, back.previous), (True, "1.0.13"))
        self.assertFalse(self.provider.rollback(prefix, "1.0.18").changed)

        # Removing takes the current pinned version; the others stay.
        plan = self.provider.software_plan(home, "software_remove", prefix)
        self.assertTrue(self.provider.apply(plan).removed)
        inventory = self.provider.software(prefix)
        self.assertEqual((inventory.installed, inventory.exposed), (["1.0.13"], None))


class CommandLine(ProviderTest):
    def cli(self, *args, expect_exit=0):
        done = subprocess.run([sys.executable, "-m", "velk_setup_client", "--binary", BINARY,
                               *args], cwd=CLIENT_DIR, env=self.env, capture_output=True,
                              text=True, check=False)
        self.assertEqual(done.returncode, expect_exit, done.stderr)
        return done

    def test_bundle_plan_apply_from_the_source_tree(self):
        source = self.tree("setup", {"AGENTS.md": b"from the command line\n"})
        claim = json.loads(self.cli("bundle", source, self.path("b.zip")).stdout)
        self.assertEqual((claim["setup_id"], claim["files"]), ("setup", 1))

        args = ["--target", self.target(), "--bundle", self.path("b.zip")]
        planned = json.loads(self.cli("plan", "--operation", "install", "--out",
                                      self.path("plan.json"), *args).stdout)
        self.assertIn("write AGENTS.md", planned["effects"])
        applied = json.loads(self.cli("apply", "--plan", self.path("plan.json"), *args).stdout)
        self.assertEqual(applied["plan_digest"], planned["plan_digest"])
        self.assertEqual(self.read("target", "AGENTS.md"), b"from the command line\n")

        done = self.cli("apply", "--plan", self.path("plan.json"), *args, expect_exit=2)
        self.assertIn("refused (stale): the target changed after the lock was taken",
                      done.stderr)


if __name__ == "__main__":
    unittest.main()
