"""The library as it is installed: `cmake --install` of the build's
python_client component into a temporary prefix, with the command line and
the import run from there, away from the source tree; and the wheel that
pyproject.toml builds."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

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

    def test_pyproject_builds_a_wheel_of_the_package(self):
        tmp = tempfile.mkdtemp(prefix="velk-client-wheel-")
        self.addCleanup(shutil.rmtree, tmp, True)
        source = os.path.join(tmp, "src")
        shutil.copytree(CLIENT_DIR, source, ignore=shutil.ignore_patterns("__pycache__"))
        subprocess.run([sys.executable, "-c", "import sys; from setuptools import build_meta; "
                        "print(build_meta.build_wheel(sys.argv[1]))", os.path.join(tmp, "dist")],
                       cwd=source, check=True, capture_output=True)
        (wheel,) = os.listdir(os.path.join(tmp, "dist"))
        with zipfile.ZipFile(os.path.join(tmp, "dist", wheel)) as archive:
            names = archive.namelist()
            metadata = archive.read(next(n for n in names if n.endswith("/METADATA")))
        self.assertTrue(wheel.startswith("velk_setup_client-0.1.0-py3"), wheel)
        self.assertIn("velk_setup_client/provider.py", names)
        self.assertFalse([n for n in names if n.startswith("tests/")])
        self.assertNotIn(b"Requires-Dist", metadata)


if __name__ == "__main__":
    unittest.main()
