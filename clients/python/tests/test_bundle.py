"""build_bundle against the provider: bundles it accepts and installs byte
for byte, and the refusals the library raises before the provider could."""

import os
import stat
import unittest
from unittest import mock

from fixture import SOURCE_DIR, ProviderTest

from velk_setup_client import (LinkNotAllowed, PathDuplicate, PathEscapesTarget, PathNotRelative,
                               LimitExceeded, SpecialFileNotAllowed, UnsupportedNativeSurface,
                               build_bundle, files_in_place, load_bundle)
from velk_setup_client import bundle as bundle_module

SETUP = {
    "AGENTS.md": b"# rules\n",
    "config.toml": b"[features]\nweb_fetch = false\n",
    "skills/review/SKILL.md": b"---\nname: review\n---\n",
    "skills/review/references/caf\u00e9.md": "\u00e9t\u00e9\n".encode("utf-8"),
    "hooks/pre-run.sh": (b"#!/bin/sh\nexit 0\n", 0o755),
    "rules/empty.md": b"",
}


class RoundTrip(ProviderTest):
    def test_bundle_is_valid_installs_exactly_and_is_reproducible(self):
        source = self.tree("team-setup", SETUP)
        bundle = build_bundle(source)
        self.assertEqual(build_bundle(source).data, bundle.data)
        self.assertEqual(bundle.setup_id, "team-setup")
        target = self.target()
        self.assertEqual(self.provider.validate(target, bundle).claim, bundle.claim())

        plan = self.provider.plan(target, "install", bundle=bundle)
        self.assertIn("write the 6 declared files over the entries this provider owns", plan.effects)
        result = self.provider.apply(plan)
        # The library predicted the identity the provider measures.
        self.assertEqual((result.setup_id, result.target_identity_digest),
                         ("team-setup", bundle.expected_identity))
        for path, spec in SETUP.items():
            data, mode = spec if isinstance(spec, tuple) else (spec, 0o644)
            self.assertEqual(self.read("target", path), data, path)
            executable = bool(os.stat(os.path.join(target, path)).st_mode & stat.S_IXUSR)
            self.assertEqual(executable, bool(mode & 0o100), path)
        status = self.provider.status(target)
        self.assertTrue(status.holds("team-setup", bundle.expected_identity))
        self.assertEqual(status.provider_state.setup_version, bundle.setup_version)

        # A bundle file read back names the same claim.
        bundle.write(self.path("b.zip"))
        again = load_bundle(self.path("b.zip"))
        self.assertEqual((again.claim(), again.setup_id, again.expected_identity),
                         (bundle.claim(), "team-setup", bundle.expected_identity))

    def test_catalog_layout_and_catalog_setup_match_the_providers_install(self):
        installed = self.target("installed")
        self.provider.command(["install", "mirel-builder", "--target", installed])
        measured = self.provider.status(installed).target_identity_digest

        from_dir = build_bundle(os.path.join(SOURCE_DIR, "setups/velk-build/mirel-builder"))
        from_catalog = self.provider.catalog_bundle("mirel-builder")
        for bundle in (from_dir, from_catalog):
            self.assertEqual((bundle.setup_id, bundle.expected_identity),
                             ("mirel-builder", measured))
        # The catalog setup was materialised in scratch space that is gone again.
        self.assertEqual(sorted(os.listdir(self.tmp)), ["installed", *sorted(
            n for n in os.listdir(self.tmp) if n.startswith("velk-client-"))])

    def test_user_root_bundle_carries_skills_only(self):
        source = self.tree("skills-only", {"skills/lint/SKILL.md": b"lint\n"})
        bundle = build_bundle(source, "user_root")
        target = self.target()
        result = self.provider.apply(self.provider.plan(target, "install", bundle=bundle,
                                                        scope="user_root"))
        # Nothing else lives under skills here, so the prediction holds.
        self.assertEqual(result.target_identity_digest, bundle.expected_identity)
        self.assertTrue(self.provider.status(target).holds("skills-only"))
        self.assertTrue(files_in_place(bundle.files, target))
        # Another product's file under skills leaves the bundle's own in place.
        self.tree("target", {"skills/theirs.md": b"another product\n"})
        self.assertTrue(files_in_place(bundle.files, target))
        self.tree("target", {"skills/lint/SKILL.md": b"edited\n"})
        self.assertFalse(files_in_place(bundle.files, target))

        self.tree("skills-only", {"AGENTS.md": b"x"})
        with self.assertRaisesRegex(UnsupportedNativeSurface, '"AGENTS.md", which is outside'):
            build_bundle(source, "user_root")


class RefusedLikeTheProvider(ProviderTest):
    """Each tree breaks one rule. The library refuses it; built without the
    library's checks, the provider refuses it with the same reason and words."""

    CASES = [
        ({"notes.txt": b"x"}, UnsupportedNativeSurface),
        ({"skills/a:b.md": b"x"}, PathNotRelative),
        ({"skills/CON.md": b"x"}, PathNotRelative),
        ({"skills/x./a.md": b"x"}, PathNotRelative),
        ({"skills/q?.md": b"x"}, PathNotRelative),
        ({"skills/tab\there.md": b"x"}, PathNotRelative),
        ({"skills/back\\slash.md": b"x"}, PathNotRelative),
        ({"skills/deploy/Secrets.md": b"x"}, SpecialFileNotAllowed),
        ({"skills/" + "/".join(["n" * 200] * 6): b"x"}, LimitExceeded),
        ({"skills/A.md": b"x", "skills/a.md": b"y"}, PathDuplicate),
    ]

    def test_each_rule(self):
        target = self.target()
        for i, (files, refusal) in enumerate(self.CASES):
            with self.subTest(files=list(files)):
                source = self.tree(f"case{i}", files)
                with self.assertRaises(refusal) as raised:
                    build_bundle(source)
                with mock.patch.object(bundle_module, "_check"):
                    unchecked = build_bundle(source)
                with self.assertRaises(refusal) as provider_said:
                    self.provider.validate(target, unchecked)
                self.assertEqual(raised.exception.detail, provider_said.exception.detail)

    def test_climbing_and_too_many_files(self):
        # Neither can come from a directory walk; the checks still hold.
        from velk_setup_client import check_bundle_path
        with self.assertRaisesRegex(PathEscapesTarget, '"skills/../x" climbs out of the target'):
            check_bundle_path("skills/../x")
        source = self.tree("many", {f"skills/{i}.md": b"" for i in range(2001)})
        with self.assertRaisesRegex(LimitExceeded, "2001 files declared against a limit of 2000"):
            build_bundle(source)

    def test_links_and_special_files_are_refused_without_blocking(self):
        source = self.tree("linked", {"skills/a.md": b"x"})
        os.symlink("a.md", os.path.join(source, "skills", "b.md"))
        with self.assertRaisesRegex(LinkNotAllowed, '"skills/b.md" is a symbolic link'):
            build_bundle(source)
        os.unlink(os.path.join(source, "skills", "b.md"))
        os.mkfifo(os.path.join(source, "skills", "pipe"))
        with self.assertRaisesRegex(SpecialFileNotAllowed, '"skills/pipe" is neither'):
            build_bundle(source)


if __name__ == "__main__":
    unittest.main()
