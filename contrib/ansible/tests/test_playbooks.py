"""The collection as a fleet uses it: built, installed, and driven by
ansible-playbook through the examples against five local hosts with scratch
targets and the real provider, all under one temporary directory."""

import fcntl
import json
import os
import re
import sys
import unittest

from fixture import ANSIBLE_DIR, BINARY, SOURCE_DIR, CollectionTest, run

sys.path.insert(0, os.path.join(SOURCE_DIR, "clients", "python"))
from velk_setup_client import Provider  # noqa: E402

HOSTS = [f"host{i}" for i in range(1, 6)]
EXAMPLES = os.path.join(ANSIBLE_DIR, "examples")
RECAP = re.compile(r"^(\S+)\s+:\s+((?:\w+=\d+\s*)+)$", re.M)


def recap(output):
    """{host: {"ok": n, "changed": n, "failed": n, ...}} from the PLAY RECAP."""
    tail = output[output.rindex("PLAY RECAP"):]
    return {host: {k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", counts)}
            for host, counts in RECAP.findall(tail)}


def failed_changed(output):
    """{host: the "changed" of its failed task}, from the `fatal:` lines."""
    fatal = re.findall(r"^fatal: \[(\S+)\]: FAILED! => (\{.*\})$", output, re.M)
    return {host: json.loads(result)["changed"] for host, result in fatal}


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def loose(text):
    """Text with its digests and line breaks left out of a comparison."""
    return " ".join(re.sub(r"sha256:[0-9a-f]{12,64}", "sha256:...", text).split())


with open(os.path.join(ANSIBLE_DIR, "README.md"), encoding="utf-8") as f:
    README = loose(f.read())


class Fleet(CollectionTest):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        # The fleet, and one host outside it for single-host tasks.
        cls.targets = {h: os.path.join(cls.tmp, "targets", h) for h in HOSTS + ["solo"]}
        for target in cls.targets.values():
            os.makedirs(target)
        lines = [f"{h} velk_target={t} velk_staging={cls.tmp}/staging/{h} "
                 f"velk_prefix={cls.tmp}/prefixes/{h}" for h, t in cls.targets.items()]
        lines += ["[velk_fleet]", *HOSTS, "[all:vars]", "ansible_connection=local",
                  "ansible_python_interpreter=/usr/bin/python3", f"velk_binary={BINARY}"]
        cls.inventory = os.path.join(cls.tmp, "inventory.ini")
        write(cls.inventory, "\n".join(lines) + "\n")
        cls.provider = Provider(BINARY, env=dict(os.environ, TMPDIR=cls.tmp), scratch=cls.tmp)

    def playbook(self, name, *args, expect_exit=0):
        out = run(["ansible-playbook", "-i", self.inventory, os.path.join(EXAMPLES, name), *args],
                  self.env, self.tmp, expect_exit)
        return out, recap(out)

    def status(self, host):
        return self.provider.status(self.targets[host])

    def read(self, host, path):
        with open(os.path.join(self.targets[host], path), "rb") as f:
            return f.read()

    def test_rolling_setups_across_the_fleet(self):
        # 1. A catalog setup everywhere, the slot before it held; again, and nothing changes.
        out, counts = self.playbook("roll_setup.yml", "-e", "velk_setup=baseline", "-e",
                                    '{"velk_hold": true, "velk_hold_reason": "before baseline"}')
        self.assertEqual({h: c["changed"] for h, c in counts.items()}, dict.fromkeys(HOSTS, 1))
        self.assertIn(f"{self.targets['host1']}: what was there before is kept in backup "
                      "slot-000000000001; to put it back, run velk-setup-system restore", out)
        for h in HOSTS:
            status = self.status(h)
            self.assertTrue(status.holds("baseline"), h)
            self.assertEqual([(b.held, b.hold_reason) for b in status.backups],
                             [(True, "before baseline")])

        _, counts = self.playbook("roll_setup.yml", "-e", "velk_setup=baseline")
        self.assertEqual({h: (c["changed"], c["failed"]) for h, c in counts.items()},
                         dict.fromkeys(HOSTS, (0, 0)))
        self.assertEqual([len(self.status(h).backups) for h in HOSTS], [1] * 5)

        # 2. Check mode on a target edited by hand: the diff shows the plan; nothing applies.
        with open(os.path.join(self.targets["host2"], "AGENTS.md"), "ab") as f:
            f.write(b"a local edit\n")
        edited = self.read("host2", "AGENTS.md")
        out, counts = self.playbook("roll_setup.yml", "--check", "--diff", "-e",
                                    "velk_setup=baseline")
        self.assertEqual({h: c["changed"] for h, c in counts.items()},
                         dict(dict.fromkeys(HOSTS, 0), host2=1))
        shown = re.search(rf"^replace in {re.escape(self.targets['host2'])} .*\n(  - .*\n)+",
                          out, re.M).group(0)
        self.assertIn("  - write AGENTS.md", shown)
        self.assertIn(loose(shown.replace(self.targets["host2"], "/home/ci/.velk")), README)
        self.assertEqual(self.read("host2", "AGENTS.md"), edited)
        self.assertEqual(len(self.status("host2").backups), 1)

        # 3. Deliver a bundle built from a directory, then restore each target by its slot.
        team = os.path.join(self.tmp, "team-setup")
        for path, text in (("setup.json", '{"schema_version": 1, "id": "team-setup", '
                                          '"description": "ours"}'),
                           ("home/AGENTS.md", "team rules\n"),
                           ("home/skills/deploy/SKILL.md", "---\nname: deploy\n---\n")):
            write(os.path.join(team, path), text)
        before = {h: self.status(h).target_identity_digest for h in HOSTS}
        _, counts = self.playbook("trial_bundle.yml", "-e", f"velk_bundle_src={team}")
        self.assertEqual({h: c["failed"] for h, c in counts.items()}, dict.fromkeys(HOSTS, 0))
        for h in HOSTS:
            status = self.status(h)
            self.assertEqual(status.target_identity_digest, before[h], h)
            # captured by the delivery, then by the restore
            self.assertEqual(len(status.backups), 3, h)
        self.assertEqual(self.read("host2", "AGENTS.md"), edited)

        # 4. A host whose owned path is a link fails with the provider's words; others roll on.
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.makedirs(elsewhere)
        os.symlink(elsewhere, os.path.join(self.targets["host5"], "skills"))
        for mode in (["--check"], []):
            out, counts = self.playbook("roll_setup.yml", "-e", "velk_setup=full-auto", *mode,
                                        expect_exit=2)
            self.assertEqual({h: (c["changed"], c["failed"]) for h, c in counts.items()},
                             dict(dict.fromkeys(HOSTS, (1, 0)), host5=(0, 1)))
            self.assertEqual(failed_changed(out), {"host5": False})
            self.assertIn("unsupported_native_surface: a backup captures content, and these "
                          "owned paths are links rather than content: skills. Nothing has been "
                          "changed.", out)
        self.assertIn(loose(re.search(r"^fatal: \[host5\]: .*", out, re.M).group(0)), README)
        for h in HOSTS[:4]:
            self.assertTrue(self.status(h).holds("full-auto"), h)
        self.assertEqual(self.status("host5").provider_state.setup_stable_id, "baseline")

    def adhoc(self, host, args, check=False, expect_exit=0):
        """One velk_setup task on one host, as `ansible -m` runs it; its result."""
        out = run(["ansible", "-i", self.inventory, host, "-m", "velk.setup.velk_setup", "-a",
                   f"target={self.targets[host]} binary={BINARY} {args}", "-o"]
                  + (["--check"] if check else []), self.env, self.tmp, expect_exit)
        return json.loads(out[out.index("{"):])

    def test_remove_and_restore_are_idempotent(self):
        host = "solo"
        # A file a person wrote, in a target the provider never managed, stays.
        write(os.path.join(self.targets[host], "AGENTS.md"), "mine\n")
        refused = self.adhoc(host, "state=absent", expect_exit=2)
        self.assertIn("has applied no setup at", refused["msg"])
        self.assertEqual(self.read(host, "AGENTS.md"), b"mine\n")

        self.assertTrue(self.adhoc(host, "setup=minimal")["changed"])
        # Planned, then refused by apply before it wrote anything: not changed.
        with open(os.path.join(self.targets[host], ".velk-setup-system", "target.lock")) as lock:
            fcntl.flock(lock, fcntl.LOCK_EX)
            refused = self.adhoc(host, "setup=baseline", expect_exit=2)
        self.assertEqual((refused["changed"], refused["reason"], refused["operation"]),
                         (False, "provider_unavailable", "replace"))
        self.assertTrue(self.status(host).holds("minimal"))
        removed = self.adhoc(host, "state=absent")
        self.assertEqual((removed["changed"], removed["operation"]), (True, "remove"))
        self.assertFalse(os.path.exists(os.path.join(self.targets[host], "AGENTS.md")))
        self.assertFalse(self.adhoc(host, "state=absent")["changed"])

        # Without backup_ref, restore takes the newest slot, the removal's; again: no change.
        would = self.adhoc(host, "state=restored", check=True)
        self.assertEqual((would["changed"], would["restored_from"]),
                         (True, removed["backup_ref"]))
        self.assertIn("nothing was applied", would["check_mode_note"])
        self.assertIn("can still refuse it", would["check_mode_note"])
        self.assertFalse(os.path.exists(os.path.join(self.targets[host], "AGENTS.md")))
        restore = f"state=restored backup_ref={removed['backup_ref']}"
        self.assertTrue(self.adhoc(host, restore)["changed"])
        self.assertTrue(self.status(host).holds("minimal"))
        self.assertFalse(self.adhoc(host, restore)["changed"])

    def test_program_install_and_roll_back(self):
        # No network and no artifact_dir: the error says what to put where.
        (artifact,) = self.provider.software_plan(self.targets["solo"], "software_install",
                                                  self.tmp + "/unused").software_artifacts
        name = artifact["url"].rsplit("/", 1)[1]
        out, _ = self.playbook("software.yml", expect_exit=2)
        self.assertEqual(failed_changed(out), dict.fromkeys(HOSTS, False))
        self.assertIn(f"cannot download {artifact['url']}: ", out)
        self.assertIn(f"no artifact_dir was given. Put the pinned artifact, the file {name} "
                      f"({artifact['byte_length']} bytes, ", out)
        # Bytes that are not the pinned artifact: apply refuses, nothing changed.
        wrong = os.path.join(self.tmp, "wrong-mirror")
        write(os.path.join(wrong, name), "not the program\n")
        out, _ = self.playbook("software.yml", "-e", f"velk_artifact_dir={wrong}", expect_exit=2)
        self.assertEqual(failed_changed(out), dict.fromkeys(HOSTS, False))

        releases = os.path.join(SOURCE_DIR, "releases")
        out, counts = self.playbook("software.yml", "-e", f"velk_artifact_dir={releases}")
        self.assertEqual({h: c["changed"] for h, c in counts.items()}, dict.fromkeys(HOSTS, 1))
        self.assertIn("runs 1.0.18 (nothing was installed before)", out)
        self.playbook("software.yml", "-e", f"velk_artifact_dir={releases}",
                      "-e", "velk_version=1.0.13")
        # The current version is already on disk: the command moves back to it.
        out, counts = self.playbook("software.yml")
        self.assertEqual({h: c["changed"] for h, c in counts.items()}, dict.fromkeys(HOSTS, 1))
        self.assertIn("runs 1.0.18 (before: 1.0.13)", out)
        _, counts = self.playbook("software.yml")
        self.assertEqual({h: c["changed"] for h, c in counts.items()}, dict.fromkeys(HOSTS, 0))
        for h in HOSTS:
            inventory = self.provider.software(os.path.join(self.tmp, "prefixes", h))
            self.assertEqual((inventory.installed, inventory.exposed),
                             (["1.0.13", "1.0.18"], "1.0.18"))


if __name__ == "__main__":
    unittest.main()
