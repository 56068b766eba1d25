"""The wheel that pyproject.toml builds. (The library as `cmake --install`
lays it out is run by the dist tests' Install test.)"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
import zipfile

from fixture import CLIENT_DIR


class Wheel(unittest.TestCase):
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
