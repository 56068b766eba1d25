"""The library as the program's package installs it: `cmake --install` of the
build's python_client component into a temporary prefix, then the command
line and the import run from there, away from the source tree."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from fixture import BINARY, CLIENT_DIR

BUILD_DIR = os.environ.get("VELK_BUILD_DIR") or os.path.join(os.path.dirname(BINARY))


class Installed(unittest.TestCase):
    def test_installed_package_runs(self):
        tmp = tempfile.mkdtemp(prefix="velk-client-install-")
        self.addCleanup(shutil.rmtree, tmp, True)
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", tmp, "--component",
                        "python_client"], check=True, capture_output=True)
        site = os.path.join(tmp, "lib", "python3", "dist-packages")
        source = sorted(f for f in os.listdir(os.path.join(CLIENT_DIR, "velk_setup_client"))
                        if f.endswith(".py"))
        self.assertEqual(sorted(os.listdir(os.path.join(site, "velk_setup_client"))), source)

        env = {"PATH": "/usr/bin:/bin", "PYTHONPATH": site, "PYTHONDONTWRITEBYTECODE": "1"}
        done = subprocess.run([sys.executable, "-m", "velk_setup_client", "--help"], cwd=tmp,
                              env=env, capture_output=True, text=True, check=False)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("bundle", done.stdout)
        where = subprocess.run([sys.executable, "-c", "import velk_setup_client as v; "
                                "print(v.__file__, v.__version__)"], cwd=tmp, env=env,
                               capture_output=True, text=True, check=True).stdout
        self.assertTrue(where.startswith(site), where)


if __name__ == "__main__":
    unittest.main()
