#!/usr/bin/python3
"""Crash campaign: real changes through the built program, killed at random.

Run by scripts/crash-campaign.sh. Rounds rotate through install, replace,
restore and remove (global over the protocol and as typed commands, and
user_root), and software_install and software_update into a prefix. A round
makes the change on one copy of its starting state (the reference: the "after"
state and the duration), then on an identical copy (the victim), killed by
SIGKILL after a delay drawn uniformly up to that duration. Then:

- target operations: `recover-operation` runs (with no journal it must change
  nothing but an unfinished backup slot); the target must be exactly its
  before state (state file included) or its after state, with a state file
  naming this change; `status` must show no unresolved work and a following
  plan must be accepted;
- software operations: the operation runs again (its recovery scan must report
  exactly the leftovers the kill left), and the prefix must be its after state.

The moment each kill landed at is told from what it left. A target or prefix
in another state is reported with what reproduces it; the exit status is 1.
"""

import argparse
import collections
import hashlib
import json
import os
import random
import shutil
import signal
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "clients", "python"))

from velk_setup_client import Provider, ProviderFailure, Refusal, build_bundle  # noqa: E402

CONTROL_DIR = ".velk-setup-system"
STATE_FILE = "MIREL-VELK-PROVIDER.json"
# The state file members that differ between runs of one change (checked on
# their own); an "after" state file is compared by the others, a "before" one
# byte for byte (recovery puts the old record back as it was).
PER_RUN_MEMBERS = ("operation_id", "provider_plan_digest", "backup_ref", "canonical_target")
CALL_TIMEOUT = 60  # seconds any one run of the program may take before it counts as hung


class Fault(Exception):
    """A target or prefix in a state the campaign does not accept."""


# -- running the program ------------------------------------------------------------


class KillableProvider(Provider):
    """The supported client, with every run bounded in time and, for one call at
    a time, a SIGKILL sent ``kill_after`` seconds after the program started."""

    def __init__(self, binary, *, env, scratch):
        super().__init__(binary, env=env, scratch=scratch)
        self.kill_after = None
        self.last = None  # (exit status, seconds from start to exit, whether the kill landed)

    def run(self, args):
        argv = [self.binary] + list(args)
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, env=self.env)
        start = time.monotonic()
        sent = False
        try:
            if self.kill_after is not None:
                time.sleep(self.kill_after)
                if proc.poll() is None:
                    proc.send_signal(signal.SIGKILL)
                    sent = True
            out, err = proc.communicate(timeout=CALL_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate(timeout=10)
            raise Fault(f"{' '.join(argv)} did not finish within {CALL_TIMEOUT} s")
        elapsed = time.monotonic() - start
        landed = sent and proc.returncode == -signal.SIGKILL
        self.last = (proc.returncode, elapsed, landed)
        return (proc.returncode, out.decode("utf-8", "replace"),
                err.decode("utf-8", "replace"))

    def killed_call(self, delay, call):
        """Whether a kill ``delay`` seconds into ``call``'s run landed, and the exit status."""
        self.kill_after = delay
        try:
            call()
        except (ProviderFailure, Refusal) as e:
            if not self.last[2]:
                raise Fault(f"the run ended on its own before the kill, and failed: {e}")
        finally:
            self.kill_after = None
        return self.last[2], self.last[0]


# -- snapshots ----------------------------------------------------------------------


def file_digest(path):
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


class Snapshot:
    """A tree as relative path -> (type, permission bits, sha256 of content or
    link target), without the control directory. Link targets have the
    tree's own root written as "{root}", so that copies compare. The state
    file is an entry like any other, and its parsed document is kept too."""

    def __init__(self, root):
        self.entries = {}
        self.state = None
        for dirpath, dirnames, filenames in os.walk(root):
            if dirpath == root:
                dirnames[:] = [d for d in dirnames if d != CONTROL_DIR]
            for name in dirnames + filenames:
                full = os.path.join(dirpath, name)
                rel = os.path.relpath(full, root)
                st = os.lstat(full)
                bits = stat.S_IMODE(st.st_mode)
                if stat.S_ISLNK(st.st_mode):
                    link = os.readlink(full).replace(root, "{root}")
                    self.entries[rel] = ("link", None, link)
                elif stat.S_ISDIR(st.st_mode):
                    self.entries[rel] = ("dir", bits, "")
                elif stat.S_ISREG(st.st_mode):
                    self.entries[rel] = ("file", bits, file_digest(full))
                else:
                    self.entries[rel] = ("other", bits, "")
        if os.path.isfile(os.path.join(root, STATE_FILE)):
            with open(os.path.join(root, STATE_FILE), "rb") as f:
                try:
                    self.state = json.loads(f.read())
                except ValueError:
                    self.state = "unparsable"

    def content(self):
        """The entries without the state file."""
        return {k: v for k, v in self.entries.items() if k != STATE_FILE}

    def same(self, other):
        """Byte for byte, state file included."""
        return self.entries == other.entries

    def same_change(self, other):
        """The same content, and a state file with the same meaningful members."""
        if self.content() != other.content():
            return False
        mine, theirs = self.entries.get(STATE_FILE), other.entries.get(STATE_FILE)
        if mine is None or theirs is None:
            return mine is theirs
        return (mine[:2] == theirs[:2] and isinstance(self.state, dict) and
                isinstance(other.state, dict) and meaningful(self.state) == meaningful(other.state))

    def diff(self, other, limit=12):
        """A few lines saying how this tree differs from ``other``."""
        lines = []
        for path in sorted(set(self.entries) | set(other.entries)):
            a, b = self.entries.get(path), other.entries.get(path)
            if a == b:
                continue
            if a is None:
                lines.append(f"missing {path}")
            elif b is None:
                lines.append(f"extra   {path} {a[0]}")
            else:
                lines.append(f"differs {path}: {a[:2]} vs {b[:2]}")
        if isinstance(self.state, dict) and isinstance(other.state, dict):
            for k in sorted(set(meaningful(self.state)) | set(meaningful(other.state))):
                if self.state.get(k) != other.state.get(k):
                    lines.append(f"state file member {k}: {self.state.get(k)!r} vs "
                                 f"{other.state.get(k)!r}")
        more = len(lines) - limit
        return lines[:limit] + ([f"... and {more} more"] if more > 0 else []) or ["(none)"]


def fault(why, info, left, before, after, end, against):
    """The Fault of a round, with what is needed to reproduce it."""
    return Fault("\n".join([
        why, f"  reproduce: {json.dumps(info, sort_keys=True)}",
        f"  left by the kill vs before: {'; '.join(left.diff(before))}",
        f"  left by the kill vs after:  {'; '.join(left.diff(after))}",
        f"  at the end vs {against[0]}: {'; '.join(end.diff(against[1]))}"]))


def meaningful(state):
    return {k: v for k, v in state.items() if k not in PER_RUN_MEMBERS}


# -- content ------------------------------------------------------------------------


def write_files(root, files):
    for path, (data, mode) in files.items():
        full = os.path.join(root, path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as f:
            f.write(data)
        os.chmod(full, mode)
    return root


def text(rng, words, tag):
    line = f"{tag}: " + " ".join(rng.choice(words) for _ in range(12)) + "\n"
    return (line * rng.randint(1, 60)).encode()


WORDS = ("review", "build", "test", "deploy", "lint", "format", "agent", "skill", "hook",
         "rule", "plan", "apply", "restore", "remove", "note", "check")


def setup_trees(rng):
    """Setups A and B for the global scope and for user_root, a few hundred files
    each; B keeps, changes, drops and adds files of A and flips execute bits."""
    def skill_files(prefix, count, tag):
        files = {}
        for i in range(count):
            skill = f"skills/{prefix}-{i % 12}"
            if i % 12 == i:
                files[f"{skill}/SKILL.md"] = (text(rng, WORDS, f"{tag} skill {i}"), 0o644)
            elif i % 17 == 0:
                files[f"{skill}/scripts/run-{i}.sh"] = (b"#!/bin/sh\necho " + tag.encode() +
                                                       b"\n", 0o755)
            else:
                files[f"{skill}/references/ref-{i}.md"] = (text(rng, WORDS, f"{tag} {i}"), 0o644)
        return files

    def variant(a, tag):
        b = {}
        for i, (path, (data, mode)) in enumerate(sorted(a.items())):
            kind = i % 4
            if kind == 0:
                continue  # dropped
            if kind == 1:
                b[path] = (data + f"changed by {tag}\n".encode(), mode)
            elif kind == 2 and path.endswith(".sh"):
                b[path] = (data, mode ^ 0o111)
            else:
                b[path] = (data, mode)
        return b

    global_a = skill_files("velk-a", 240, "global a")
    global_a.update({
        "AGENTS.md": (text(rng, WORDS, "instructions a"), 0o644),
        "config.toml": (b'model = "large"\napproval = "on-request"\n', 0o644),
        "sandbox.toml": (b'mode = "workspace-write"\n', 0o644),
    })
    for i in range(20):
        global_a[f"agents/agent-{i}.md"] = (text(rng, WORDS, f"agent {i}"), 0o644)
    for i in range(10):
        global_a[f"hooks/hook-{i}.sh"] = (b"#!/bin/sh\nexit 0\n", 0o755)
        global_a[f"rules/rule-{i}.md"] = (text(rng, WORDS, f"rule {i}"), 0o644)
        global_a[f"commands/command-{i}.md"] = (text(rng, WORDS, f"command {i}"), 0o644)
    global_b = variant(global_a, "global b")
    global_b.update(skill_files("velk-b", 60, "global b"))
    for i in range(8):
        global_b[f"workflows/flow-{i}.md"] = (text(rng, WORDS, f"flow {i}"), 0o644)

    root_a = skill_files("velk-a", 300, "root a")
    root_b = variant(root_a, "root b")
    root_b.update(skill_files("velk-b", 60, "root b"))
    return global_a, global_b, root_a, root_b


# What lies beside the product: outside the owned surfaces under global; another
# product's skills, instructions and settings in a shared root. None may change.
GLOBAL_FOREIGN = {
    "projects/notes.md": (b"my own notes\n", 0o644),
    "projects/tool.sh": (b"#!/bin/sh\n", 0o755),
    ".other-settings": (b"x=1\n", 0o600),
}
ROOT_FOREIGN = dict(
    {f"skills/other-product/references/doc-{i}.md": (f"another product {i}\n".encode() * 20, 0o644)
     for i in range(24)},
    **{
        "skills/other-product/SKILL.md": (b"# Another product's skill\n", 0o644),
        "skills/other-product/scripts/run.sh": (b"#!/bin/sh\necho other\n", 0o755),
        "AGENTS.md": (b"another product's instructions\n", 0o644),
        "other-product.toml": (b"enabled = true\n", 0o644),
    })


# -- scenarios ----------------------------------------------------------------------


class Campaign:
    def __init__(self, args):
        self.work = args.work
        self.rng = random.Random(args.seed)
        self.seed = args.seed
        self.only = args.only
        env = dict(os.environ, TMPDIR=self.path("tmp"), HOME=self.path("home"))
        for d in ("tmp", "home", "templates", "rounds", "setups", "client"):
            os.makedirs(self.path(d), exist_ok=True)
        self.provider = KillableProvider(args.binary, env=env, scratch=self.path("client"))
        self.releases = {}
        for name in sorted(os.listdir(args.releases)):
            full = os.path.join(args.releases, name)
            if os.path.isfile(full):
                self.releases["sha256:" + file_digest(full)] = full
        self.moments = collections.Counter()
        self.fault_moments = collections.Counter()
        self.moment = None  # the moment of the round under way, once it is known
        self.landed = 0
        self.ends = collections.Counter()
        self.faults = []
        self.bundles = {}
        self.templates = {}

    def path(self, *parts):
        return os.path.join(self.work, *parts)

    # -- templates: each scenario's starting state, made once by real changes --

    def prepare(self):
        global_a, global_b, root_a, root_b = setup_trees(random.Random(7))
        p = self.provider
        for name, files, scope in (("global-a", global_a, None), ("global-b", global_b, None),
                                   ("root-a", root_a, "user_root"),
                                   ("root-b", root_b, "user_root")):
            source = write_files(self.path("setups", name), files)
            bundle = build_bundle(source, scope, profile=p.info().profile_for(scope))
            bundle.write(self.path("setups", name + ".zip"))
            self.bundles[name] = bundle

        def change(op, bundle=None, restore=False):
            def make(target, scope, variant):
                # A restore names its slot, or leaves it to the provider (the
                # most recent one, the same slot here) every other time.
                ref = "slot-000000000002" if restore and variant < 0.5 else None
                plan = p.plan(target, op, bundle=self.bundles.get(bundle), scope=scope,
                              backup_ref=ref)
                return (lambda: p.apply(plan)), plan
            return make

        def typed(*words):
            def make(target, scope, variant):
                return (lambda: p.command(list(words) + ["--target", target])), None
            return make

        def template(name, foreign, scope, *steps):
            root = self.path("templates", name)
            os.makedirs(root)
            write_files(root, foreign)
            for step in steps:
                step(root, scope, 1.0)[0]()
            self.templates[name] = (root, scope)

        template("global-empty", GLOBAL_FOREIGN, None)
        template("global-a", GLOBAL_FOREIGN, None, change("install", "global-a"))
        template("global-ab", GLOBAL_FOREIGN, None, change("install", "global-a"),
                 change("replace", "global-b"))
        template("root-empty", ROOT_FOREIGN, "user_root")
        template("root-a", ROOT_FOREIGN, "user_root", change("install", "root-a"))
        template("root-ab", ROOT_FOREIGN, "user_root", change("install", "root-a"),
                 change("replace", "root-b"))
        template("typed-m", GLOBAL_FOREIGN, None, typed("install", "mirel-builder"))
        template("typed-mb", GLOBAL_FOREIGN, None, typed("install", "mirel-builder"),
                 typed("select", "baseline"))

        # (name, template, how the change is made)
        self.target_scenarios = [
            ("global install", "global-empty", change("install", "global-a")),
            ("global replace", "global-a", change("replace", "global-b")),
            ("global restore", "global-ab", change("restore", restore=True)),
            ("global remove", "global-a", change("remove")),
            ("user_root install", "root-empty", change("install", "root-a")),
            ("user_root replace", "root-a", change("replace", "root-b")),
            ("user_root restore", "root-ab", change("restore", restore=True)),
            ("user_root remove", "root-a", change("remove")),
            ("typed install", "global-empty", typed("install", "mirel-builder")),
            ("typed select (replace)", "typed-m", typed("select", "baseline")),
            ("typed restore", "typed-mb", typed("restore", "--backup", "slot-000000000002")),
            ("typed remove", "typed-m", typed("remove")),
        ]
        # (name, versions installed first, operation, version asked for)
        self.software_scenarios = [
            ("software_install into an empty prefix", [], "software_install", None),
            ("software_install 1.0.13 beside 1.0.18", [None], "software_install", "1.0.13"),
            ("software_update 1.0.13 to 1.0.18", ["1.0.13"], "software_update", None),
            ("software_update 1.0.18 in place", [None], "software_update", None),
        ]

    def run_and_kill(self, number, name, victim, reference, make):
        """``make(root)`` gives the call that makes the change on ``root`` and
        its plan (or None)."""
        before = Snapshot(victim)
        if not Snapshot(reference).same(before):
            raise Fault("the two copies of the starting state differ")
        make(reference)[0]()
        duration = self.provider.last[1]
        after = Snapshot(reference)
        call, plan = make(victim)
        delay = self.rng.uniform(0, duration)
        landed, code = self.provider.killed_call(delay, call)
        info = dict(round=number, scenario=name, delay_ms=round(delay * 1000, 3),
                    duration_ms=round(duration * 1000, 3), exit=code)
        return before, after, plan, landed, Snapshot(victim), info

    def target_round(self, number, name, template_name, make):
        p = self.provider
        template, scope = self.templates[template_name]
        base = self.path("rounds", str(number))
        victim, reference = os.path.join(base, "victim"), os.path.join(base, "ref")
        shutil.copytree(template, victim, symlinks=True)
        shutil.copytree(template, reference, symlinks=True)
        try:
            status_before = p.status(victim, scope)
            slots_before = {b.backup_ref for b in status_before.backups}
            variant = self.rng.random()
            before, after, plan, landed, left, info = self.run_and_kill(
                number, name, victim, reference, lambda root: make(root, scope, variant))
            status_after = p.status(reference, scope)
            if after.same(before):
                raise Fault("the uninterrupted change changed nothing")

            status_left = p.status(victim, scope)
            journal = status_left.journal
            new_slots = sorted({b.backup_ref for b in status_left.backups} - slots_before)
            recovery = p.recover(victim)  # a refusal raises: recovery must answer verified
            end = Snapshot(victim)
            status_end = p.status(victim, scope)
            info.update(journal=journal.phase if journal else None, new_slots=new_slots,
                        recovery=recovery.document)

            def fail(why, against):
                raise fault(why, info, left, before, after, end, against)

            if not landed:
                moment = "ended before the kill"
            elif journal is None and left.same(before):
                if recovery.document.get("recovered"):
                    moment = "capturing the backup slot (unfinished slot left)"
                elif new_slots:
                    moment = "slot captured, journal not yet published"
                else:
                    moment = "start-up and checks, nothing written yet"
            elif journal is None and left.same_change(after):
                moment = "journal cleared, exiting"
            elif journal is not None and journal.phase == "committed":
                moment = "journal committed, not yet cleared"
            elif journal is not None and journal.phase == "prepared":
                if left.same(before):
                    moment = "journal prepared, nothing changed yet"
                elif left.same_change(after):
                    moment = "journal prepared, state file written"
                elif left.content() == after.content():
                    moment = "journal prepared, effects made, state file not written"
                else:
                    moment = "journal prepared, mid-change"
            else:
                moment = "unrecognised"
            info["moment"] = moment
            self.count_moment("target: " + moment, landed)

            if journal is not None and journal.phase == "prepared":
                if not end.same(before):
                    fail("after recovery the target is not its before state", ("before", before))
                if recovery.phase != "prepared" or [recovery.restored_from] != new_slots:
                    fail("recovery of a prepared journal did not restore from the slot this "
                         "change captured", ("before", before))
                expected = (plan.expected_target_digest if plan is not None
                            else status_before.target_identity_digest)
                if recovery.target_identity_digest != expected:
                    fail("recovery answered another identity than the target had before",
                         ("before", before))
                result = "recovered to before"
            else:
                if journal is not None:
                    if recovery.phase != "committed" or not left.same_change(after):
                        fail("a committed journal over a target that is not its after state",
                             ("after", after))
                elif recovery.document.get("recovered") and "incomplete" not in \
                        recovery.document.get("detail", ""):
                    fail("recovery acted although no journal was published", ("before", before))
                if journal is None and not end.same(left):
                    fail("recovery without a journal changed the target", ("before", before))
                if end.same(before):
                    result = "before"
                elif end.same_change(after):
                    result = "after"
                else:
                    fail("the target is neither its before nor its after state",
                         ("after", after))

            # The state file of an after state names this run's own change.
            if result == "after" and isinstance(end.state, dict):
                if end.state.get("canonical_target") != victim:
                    fail("the state file names another target", ("after", after))
                if plan is not None and (end.state.get("operation_id") !=
                                         plan.document["operation_id"] or
                                         end.state.get("provider_plan_digest") != plan.digest):
                    fail("the state file names another plan than the one applied",
                         ("after", after))
                if end.state.get("backup_ref") not in new_slots:
                    fail("the state file names a slot this change did not capture",
                         ("after", after))

            # What status says, and that nothing blocks the next change.
            like = status_before if result != "after" else status_after
            if status_end.journal is not None or status_end.cleanup_state != "none":
                fail("status still shows unresolved work", (result, end))
            for member in ("state", "drift_state", "target_identity_digest"):
                if status_end.document.get(member) != like.document.get(member):
                    fail(f"status {member} is {status_end.document.get(member)!r}, not "
                         f"{like.document.get(member)!r}", (result, end))
            p.plan(victim, "backup", scope=scope)  # a refusal raises
            foreign = GLOBAL_FOREIGN if scope is None else ROOT_FOREIGN
            for path in foreign:
                if end.entries.get(path) != before.entries.get(path):
                    fail(f"{path}, which is not this product's, changed", (result, end))

            self.ends["target: " + result] += 1
        finally:
            shutil.rmtree(base, ignore_errors=True)

    def software_plan_and_apply(self, home, prefix, operation, version):
        p = self.provider
        plan = p.plan(home, operation, prefix=prefix, software_version=version)
        artifacts = []
        for entry in plan.software_artifacts:
            if entry["sha256"] not in self.releases:
                raise Fault(f"no file in releases/ hashes to {entry['sha256']}")
            artifacts.append(self.releases[entry["sha256"]])
        return lambda: p.apply(plan, software_artifacts=artifacts)

    def software_round(self, number, name, installed, operation, version):
        base = self.path("rounds", str(number))
        home, victim, reference = (os.path.join(base, d) for d in ("home", "victim", "ref"))
        for d in (home, victim, reference):
            os.makedirs(d)
        try:
            for prefix in (victim, reference):
                for v in installed:
                    self.software_plan_and_apply(home, prefix, "software_install", v)()
            before, after, _, landed, left, info = self.run_and_kill(
                number, name, victim, reference,
                lambda prefix: (self.software_plan_and_apply(home, prefix, operation, version),
                                None))

            leftovers = sorted(n for n in os.listdir(victim)
                               if n.startswith((".incoming-", ".replaced-")) or
                               (n.endswith(".incoming") and n != CONTROL_DIR))
            # What the recovery scan must report of each leftover.
            expected = []
            for n in leftovers:
                if n.startswith(".incoming-"):
                    expected.append(("interrupted before it landed", n[len(".incoming-"):]))
                elif n.startswith(".replaced-"):
                    v = n[len(".replaced-"):]
                    expected.append(("landed and its cleanup did not" if v in left.entries
                                     else "stepped aside; it is back", v))
                else:
                    expected.append(("half-written", n))
            reported = {w for w, _ in expected}
            trees_after = {k: v for k, v in after.entries.items() if not k.startswith("bin")}
            trees_left = {k: v for k, v in left.entries.items() if not k.startswith("bin")}
            if not landed:
                moment = "ended before the kill"
            elif left.same(before) and left.same(after):
                moment = "no leftover (this change ends with the bytes it began with)"
            elif left.same(before):
                moment = "nothing changed yet"
            elif left.same(after):
                moment = "done, exiting"
            elif "interrupted before it landed" in reported:
                moment = "staging the new tree"
            elif "stepped aside; it is back" in reported:
                moment = "installed tree stepped aside, new one not landed"
            elif "landed and its cleanup did not" in reported:
                moment = "new tree landed, old one not cleared"
            elif trees_left == trees_after:
                moment = "exposing: command, marker and record part-moved"
            else:
                moment = "unrecognised"
            info.update(moment=moment, leftovers=leftovers)
            self.count_moment("software: " + moment, landed)

            # The next software operation finishes or undoes what was left.
            result = self.software_plan_and_apply(home, victim, operation, version)()
            end = Snapshot(victim)
            info["notes"] = result.recovered
            notes = list(result.recovered)
            matched = (len(notes) == len(expected) and
                       all(any(words in note and what in note for note in notes)
                           for words, what in expected))
            if not end.same(after):
                raise fault("the prefix is not its after state once the next operation ran",
                            info, left, before, after, end, ("after", after))
            if not matched:
                raise fault("the recovery scan did not report exactly the leftovers the kill left",
                            info, left, before, after, end, ("after", after))
            ended = ("after" if left.same(after) else "before" if left.same(before)
                     else "finished by the next operation")
            self.ends["software: " + ended] += 1
        finally:
            shutil.rmtree(base, ignore_errors=True)

    def count_moment(self, moment, landed):
        self.moment = moment
        self.moments[moment] += 1
        self.landed += landed

    def run(self, rounds):
        started = time.monotonic()
        self.prepare()
        scenarios = ([(s[0], self.target_round, s[1:]) for s in self.target_scenarios] +
                     [(s[0], self.software_round, s[1:]) for s in self.software_scenarios])
        if self.only:
            scenarios = [s for s in scenarios if self.only in s[0]]
            if not scenarios:
                raise SystemExit(f"crash campaign: no scenario name contains {self.only!r}")
        for number in range(rounds):
            name, play, rest = scenarios[number % len(scenarios)]
            self.moment = None
            try:
                play(number, name, *rest)
            except (Fault, Refusal, ProviderFailure) as e:
                self.faults.append((number, name, f"{type(e).__name__}: {e}"))
                self.fault_moments[self.moment or "before the kill"] += 1
                print(f"round {number} ({name}): OTHER STATE\n{e}", file=sys.stderr, flush=True)
        self.report(rounds, time.monotonic() - started)
        return 1 if self.faults else 0

    def report(self, rounds, seconds):
        print(f"crash campaign: {rounds} rounds in {seconds:.1f} s (seed {self.seed}), "
              f"{self.landed} kills landed while the program ran")
        print("\nkills by the moment they landed at (what they left behind):")
        for key in sorted(self.moments, key=lambda k: (not k.startswith("target"), k)):
            faults = self.fault_moments[key]
            print(f"  {key:<72} {self.moments[key]:>5}" +
                  (f"   ({faults} of them ended in another state)" if faults else ""))
        print("\nhow the rounds ended:")
        for key in sorted(self.ends, key=lambda k: (not k.startswith("target"), k)):
            print(f"  {key:<72} {self.ends[key]:>5}")
        print(f"  {'targets and prefixes in any other state':<72} {len(self.faults):>5}")
        if self.faults:
            print(f"\nFAILED: {len(self.faults)} in another state:")
            for number, name, what in self.faults:
                print(f"  round {number} ({name}): {what.splitlines()[0]}")
        else:
            print("\nevery target and prefix ended as its before or its after state")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--work", required=True, help="an empty scratch directory")
    parser.add_argument("--binary", required=True)
    parser.add_argument("--releases", required=True)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--only", default="", help="run only the scenarios whose name contains this")
    args = parser.parse_args()
    if args.seed is None:
        args.seed = int.from_bytes(os.urandom(4), "big")
    sys.exit(Campaign(args).run(args.rounds))


if __name__ == "__main__":
    main()
