"""Shared by the library's tests: the built provider, scratch directories and
small trees of setup files. Everything a test writes is under its own
temporary directory, and the provider runs with TMPDIR pointing there."""

import os
import shutil
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
CLIENT_DIR = os.path.dirname(HERE)
SOURCE_DIR = os.environ.get("VELK_SOURCE_DIR") or os.path.dirname(os.path.dirname(CLIENT_DIR))
BINARY = os.environ.get("VELK_BINARY") or os.path.join(SOURCE_DIR, "build", "velk-setup-system")
sys.path.insert(0, CLIENT_DIR)

from velk_setup_client import Provider  # noqa: E402


class ProviderTest(unittest.TestCase):
    """A fresh temporary directory and a Provider confined to it."""

    def setUp(self):
        if not os.access(BINARY, os.X_OK):
            self.fail(f"the provider is not built at {BINARY}; set VELK_BINARY")
        self.tmp = tempfile.mkdtemp(prefix="velk-client-test-")
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.env = dict(os.environ, TMPDIR=self.tmp)
        self.provider = Provider(BINARY, env=self.env, scratch=self.tmp)

    def path(self, *parts):
        return os.path.join(self.tmp, *parts)

    def target(self, name="target"):
        path = self.path(name)
        os.makedirs(path, exist_ok=True)
        return path

    def tree(self, name, files):
        """Write {relative path: bytes or (bytes, mode)} under tmp/name; returns that."""
        for path, spec in files.items():
            data, mode = spec if isinstance(spec, tuple) else (spec, 0o644)
            full = self.path(name, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, "wb") as f:
                f.write(data)
            os.chmod(full, mode)
        return self.path(name)

    def read(self, *parts):
        with open(self.path(*parts), "rb") as f:
            return f.read()
