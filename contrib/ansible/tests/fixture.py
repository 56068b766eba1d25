"""Shared by the collection's tests: where things are, an environment that
keeps Ansible inside a temporary directory, and the collection built and
installed the way a user gets it."""

import glob
import os
import shutil
import subprocess
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ANSIBLE_DIR = os.path.dirname(HERE)
SOURCE_DIR = os.environ.get("VELK_SOURCE_DIR") or os.path.dirname(os.path.dirname(ANSIBLE_DIR))
BINARY = os.environ.get("VELK_BINARY") or os.path.join(SOURCE_DIR, "build", "velk-setup-system")


def run(args, env, cwd, expect_exit=0):
    """Standard output of args, which must exit with expect_exit."""
    done = subprocess.run(args, env=env, cwd=cwd, capture_output=True, text=True, check=False,
                          stdin=subprocess.DEVNULL)
    if done.returncode != expect_exit:
        raise AssertionError(f"{' '.join(args)} exited {done.returncode}:\n"
                             f"{done.stdout}{done.stderr}")
    return done.stdout


class CollectionTest(unittest.TestCase):
    """The collection built and installed under a temporary directory of the class's own."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tmp = tempfile.mkdtemp(prefix="velk-ansible-test-")
        config = os.path.join(tmp, "ansible.cfg")
        with open(config, "w", encoding="utf-8") as f:
            f.write("[defaults]\nforks = 5\nretry_files_enabled = false\n")
        env = cls.env = {k: v for k, v in os.environ.items() if not k.startswith("ANSIBLE_")}
        env.update(
            HOME=tmp, TMPDIR=tmp, ANSIBLE_CONFIG=config, ANSIBLE_HOME=os.path.join(tmp, ".ansible"),
            ANSIBLE_LOCAL_TEMP=os.path.join(tmp, ".ansible", "tmp"),
            ANSIBLE_REMOTE_TEMP=os.path.join(tmp, ".ansible", "remote"),
            ANSIBLE_COLLECTIONS_PATH=os.path.join(tmp, "collections"),
            ANSIBLE_GALAXY_CACHE_DIR=os.path.join(tmp, ".ansible", "galaxy_cache"),
            ANSIBLE_NOCOLOR="1", ANSIBLE_DEPRECATION_WARNINGS="0", PATH="/usr/bin:/bin",
        )
        dist = os.path.join(tmp, "dist")
        run(["ansible-galaxy", "collection", "build", "--output-path", dist, ANSIBLE_DIR], env, tmp)
        (tarball,) = glob.glob(os.path.join(dist, "velk-setup-*.tar.gz"))
        run(["ansible-galaxy", "collection", "install", "--offline", "-p",
             os.path.join(tmp, "collections"), tarball], env, tmp)
        cls.installed = os.path.join(tmp, "collections", "ansible_collections", "velk", "setup")

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)
