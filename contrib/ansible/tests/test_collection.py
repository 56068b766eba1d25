"""The collection as ansible-galaxy builds it: one copy of the client library,
documentation that ansible-doc renders and that agrees with each module's
argument spec, and the sanity tests ansible-test can run without a network."""

import filecmp
import importlib
import json
import os
import subprocess
import unittest
from unittest import mock

import yaml

from fixture import ANSIBLE_DIR, SOURCE_DIR, CollectionTest, run

LIBRARY = os.path.join(SOURCE_DIR, "clients", "python", "velk_setup_client")
MODULES = ("velk_setup", "velk_software", "velk_status")
# ansible-test sanity tests that need no Python packages from the network.
OFFLINE_SANITY = ("action-plugin-docs", "compile", "empty-init", "future-import-boilerplate",
                  "line-endings", "metaclass-boilerplate", "no-assert", "no-basestring",
                  "no-dict-iteritems", "no-get-exception", "no-illegal-filenames",
                  "no-main-display", "no-smart-quotes", "no-unicode-literals",
                  "replace-urlopen", "shebang", "symlinks", "use-argspec-type-path",
                  "use-compat-six")


class _Captured(Exception):
    pass


def module_arguments(collections_path, module):
    """The keyword arguments the module hands to AnsibleModule, caught by
    running its main() through Ansible's collection loader."""
    from ansible.utils.collection_loader._collection_finder import _AnsibleCollectionFinder
    _AnsibleCollectionFinder(paths=[collections_path], scan_sys_paths=False)._install()
    loaded = importlib.import_module(f"ansible_collections.velk.setup.plugins.modules.{module}")

    def capture(**kwargs):
        raise _Captured(kwargs)

    with mock.patch.object(loaded, "AnsibleModule", side_effect=capture):
        try:
            loaded.main()
        except _Captured as caught:
            return caught.args[0]
    raise AssertionError(f"{module} made no AnsibleModule")


class Collection(CollectionTest):
    def test_module_utils_is_the_library(self):
        # Links in the source tree, copies when built; __init__ stays empty for module_utils.
        source = os.path.join(ANSIBLE_DIR, "plugins", "module_utils", "velk_setup_client")
        built = os.path.join(self.installed, "plugins", "module_utils", "velk_setup_client")
        library = sorted(f for f in os.listdir(LIBRARY)
                         if f.endswith(".py") and f not in ("__main__.py", "cli.py"))
        self.assertEqual(sorted(os.listdir(source)), library)
        for name in library:
            with self.subTest(name=name):
                if name == "__init__.py":
                    self.assertEqual(os.path.getsize(os.path.join(built, name)), 0)
                    continue
                self.assertTrue(os.path.islink(os.path.join(source, name)))
                self.assertEqual(os.path.realpath(os.path.join(source, name)),
                                 os.path.realpath(os.path.join(LIBRARY, name)))
                self.assertTrue(filecmp.cmp(os.path.join(built, name),
                                            os.path.join(LIBRARY, name), shallow=False))

    def test_documentation_renders_and_matches_the_argument_spec(self):
        for module in MODULES:
            with self.subTest(module=module):
                text = run(["ansible-doc", "-t", "module", f"velk.setup.{module}"],
                           self.env, self.tmp)
                self.assertIn(f"VELK.SETUP.{module.upper()}", text)
                self.assertIn("RETURN VALUES:", text)
                doc = json.loads(run(["ansible-doc", "--json", "-t", "module",
                                      f"velk.setup.{module}"], self.env, self.tmp))
                doc = doc[f"velk.setup.{module}"]
                self.assertTrue(yaml.safe_load(doc["examples"]))
                self.assertTrue(doc["return"])

                found = module_arguments(os.path.join(self.tmp, "collections"), module)
                self.assertTrue(found["supports_check_mode"])
                spec, options = found["argument_spec"], doc["doc"]["options"]
                self.assertEqual(sorted(spec), sorted(options))
                for name, arg in spec.items():
                    for key, unset in (("type", "str"), ("required", False), ("default", None),
                                       ("choices", None)):
                        self.assertEqual(arg.get(key, unset), options[name].get(key, unset),
                                         (name, key))

    def test_offline_sanity(self):
        # ansible-test wants the collection at .../ansible_collections/NS/NAME; HOME is tmp.
        args = ["ansible-test", "sanity", "--python", "3.11"]
        args += [arg for test in OFFLINE_SANITY for arg in ("--test", test)]
        done = subprocess.run(args, cwd=self.installed, env=self.env, capture_output=True,
                              text=True, check=False, stdin=subprocess.DEVNULL)
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        for test in OFFLINE_SANITY:
            self.assertIn(f'Running sanity test "{test}"', done.stdout + done.stderr)


if __name__ == "__main__":
    unittest.main()
