"""The canonical writer against the provider: the provider accepts a document
only when it hashes the same bytes the library wrote."""

import io
import json
import os
import unittest
import zipfile

from fixture import ProviderTest

from velk_setup_client import DigestMismatch, build_bundle, canonical_json, digest_document
from velk_setup_client.bundle import _zip
from velk_setup_client.canonical import BUNDLE_TAG, PLAN_TAG

AWKWARD = "\u0007\b/\x7f\"\\ caf\u00e9 \U0001f600 \ue000\t\n\r\f\u001f end"


class AgainstTheProvider(ProviderTest):
    def test_values_without_a_canonical_form_are_refused(self):
        for bad in (1.0, 2**64, -(2**63) - 1, {1: "x"}):
            with self.assertRaises(ValueError):
                canonical_json(bad)

    def rezip(self, bundle, manifest, declared=None):
        """The bundle with `manifest`, declaring its computed identity or `declared`."""
        manifest = dict(manifest)
        manifest.pop("bundle_digest")
        manifest["bundle_digest"] = declared or digest_document(BUNDLE_TAG, manifest)
        with zipfile.ZipFile(io.BytesIO(bundle.data)) as archive:
            members = [(i.filename, archive.read(i.filename), (i.external_attr >> 16) & 0o777)
                       for i in archive.infolist()]
        members[0] = ("bundle.json", json.dumps(manifest, indent=1).encode("utf-8"), 0o644)
        bundle.data = _zip(members)
        bundle.bundle_digest = manifest["bundle_digest"]
        bundle.path = None
        return bundle

    def test_manifest_identity_with_awkward_members_is_the_providers(self):
        bundle = build_bundle(self.tree("src", {"skills/a/SKILL.md": b"x"}))
        with zipfile.ZipFile(io.BytesIO(bundle.data)) as archive:
            manifest = json.loads(archive.read("bundle.json"))
        # Members the reader ignores still count in the identity.
        manifest.update({
            "b": AWKWARD, "a": [AWKWARD, {"z": 1, "Z": -1}], "A": None,
            "\ue000": 18446744073709551615, "\U00010000": -9223372036854775808,
            "\u00e9": {"\u00c9": True, "e\u0301": False},
        })
        target = self.target()
        self.assertTrue(self.provider.validate(target, self.rezip(bundle, manifest)).valid)

        # One changed byte inside a string is another identity.
        declared = bundle.bundle_digest
        manifest["b"] = AWKWARD + " "
        with self.assertRaisesRegex(DigestMismatch, "does not hash to the identity it declares"):
            self.provider.validate(target, self.rezip(bundle, manifest, declared))

    def test_plan_bytes_and_state_file_are_the_providers(self):
        target = self.target()
        bundle = build_bundle(self.tree("src", {"AGENTS.md": b"rules\n"}))
        plan = self.provider.plan(target, "install", bundle=bundle, operation_id=AWKWARD,
                                  release_digest=AWKWARD)
        # The library's bytes of the plan hash to the provider's digest; apply accepts them.
        self.assertEqual(digest_document(PLAN_TAG, plan.document), plan.digest)
        self.assertEqual(plan.document["operation_id"], AWKWARD)
        self.provider.apply(plan)
        # The state file is stored canonically by the provider.
        stored = self.read("target", "MIREL-VELK-PROVIDER.json")
        self.assertEqual(canonical_json(json.loads(stored)), stored)
        self.assertEqual(json.loads(stored)["operation_id"], AWKWARD)
        self.assertTrue(os.path.isfile(os.path.join(target, "AGENTS.md")))


if __name__ == "__main__":
    unittest.main()
