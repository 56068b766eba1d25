#!/usr/bin/env python3
"""A consumer session with velk-setup-system, using nothing but Python's
standard library.

It builds a bundle from a small directory of setup files, validates it,
plans an install into a fresh target and applies exactly that plan, reads
the target's status, then plans a restore of the backup the install
captured and applies it, which leaves the target as it was before.

    python3 examples/protocol_session.py [--program PATH] [--keep DIR]

--program names the velk-setup-system executable (default: the one on
PATH). Everything is written under a fresh temporary directory, removed at
the end, or under DIR with --keep. The script stops with a message and exit
status 1 at the first answer it did not expect.
"""

import argparse
import datetime
import hashlib
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

BUNDLE_FORMAT = "ai-stp-bundle/2"
BUNDLE_TAG = "ai-stp:bundle:v1"
PLAN_TAG = "ai-stp:provider-plan:v3"

# The entries the provider owns at the top of a target, and the component
# kind the product reads at each. The ones without a kind of their own are
# given "setting", a kind the main projection profile admits.
OWNED_KINDS = {
    "AGENTS.md": "instruction",
    "config.toml": "setting",
    "sandbox.toml": "setting",
    "skills": "skill",
    "agents": "agent",
    "plugins": "plugin",
    "hooks": "hook",
    "workflows": "setting",
    "rules": "setting",
    "commands": "setting",
    "personas": "setting",
    "roles": "setting",
}


class SessionError(Exception):
    pass


# ---------------------------------------------------------------------------
# Digests and canonical JSON


def digest_bytes(data):
    """The digest text of some bytes: "sha256:" and 64 lower-case hex digits."""
    return "sha256:" + hashlib.sha256(data).hexdigest()


_SHORT_ESCAPES = {"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def _quote(text):
    out = ['"']
    for ch in text:
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif ch in _SHORT_ESCAPES:
            out.append(_SHORT_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def canonical_json(value):
    """No white space, members sorted by UTF-16 code units, integers only."""
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        raise SessionError("canonical JSON is integer-only; %r has no spelling" % value)
    if isinstance(value, str):
        return _quote(value)
    if isinstance(value, list):
        return "[" + ",".join(canonical_json(v) for v in value) + "]"
    if isinstance(value, dict):
        # Big-endian UTF-16 bytes compare like the code units themselves.
        names = sorted(value, key=lambda name: name.encode("utf-16-be"))
        return "{" + ",".join(_quote(n) + ":" + canonical_json(value[n]) for n in names) + "}"
    raise SessionError("no JSON spelling for %r" % (value,))


def digest_document(tag, value):
    """SHA-256 over the tag, one zero byte and the canonical JSON."""
    return digest_bytes(tag.encode() + b"\0" + canonical_json(value).encode())


# ---------------------------------------------------------------------------
# The bundle: a stored ZIP archive of one reproducible shape


def _zip(members):
    """members: (name, bytes, mode) in order. Every member stored, no flags,
    time 0 and date 1980-01-01, a Unix creator, the mode in the external
    attributes, no extra fields or comments, one disk, no archive comment."""
    out = bytearray()
    central = bytearray()
    for name, data, mode in members:
        name_bytes = name.encode("utf-8")
        crc = zlib.crc32(data) & 0xFFFFFFFF
        offset = len(out)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x0021,
                           crc, len(data), len(data), len(name_bytes), 0)
        out += name_bytes + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, 0, 0, 0x0021,
                               crc, len(data), len(data), len(name_bytes), 0, 0, 0, 0,
                               (0o100000 | mode) << 16, offset)
        central += name_bytes
    start = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members),
                       len(central), start, 0)
    return bytes(out)


def read_setup_directory(root):
    """The regular files under root: {relative path: (bytes, mode)}."""
    files = {}
    for folder, dirs, names in os.walk(root):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root).replace(os.sep, "/")
            if os.path.islink(path) or not os.path.isfile(path):
                raise SessionError("%s is not a regular file; a bundle carries only files" % rel)
            with open(path, "rb") as f:
                data = f.read()
            mode = 0o755 if os.stat(path).st_mode & 0o111 else 0o644
            files[rel] = (data, mode)
    return files


def build_bundle(files, profile, stable_id, version):
    """Returns (bundle bytes, bundle digest) for files {path: (bytes, mode)},
    built for the projection profile that provider-info published."""
    passport = json.dumps({"stable_id": stable_id, "version": version}).encode()
    passport_digest = digest_bytes(passport)

    # One component per top-level entry; sorted paths give sorted ids.
    components = {}
    for path in sorted(files, key=lambda p: p.encode()):
        top = path.split("/", 1)[0]
        if top not in OWNED_KINDS:
            raise SessionError("%s lies outside the entries the provider owns" % path)
        components.setdefault(top, []).append(path)

    adaptations, entries = [], []
    for top, paths in components.items():
        component_id = "component." + top
        kind = OWNED_KINDS[top]
        content = b"".join(files[p][0] for p in paths)
        adaptations.append({
            "version": version,
            "stable_id": component_id,
            "member_paths": paths,
            "adaptation_id": "adaptation_" + hashlib.sha256(component_id.encode()).hexdigest(),
            "passport_digest": passport_digest,
            "projection_kind": "native_files",
            "projection_artifact": {"digest": digest_bytes(content),
                                    "size_bytes": max(1, len(content))},
            "provider_component_kind": kind,
        })
        entries.append({"stable_id": component_id, "component_type": kind,
                        "native_surface": top})
    adaptations.sort(key=lambda a: a["stable_id"].encode())
    entries.sort(key=lambda e: e["stable_id"].encode())
    conversion_report = {"complete": True, "entries": entries}

    manifest = {
        "schema_version": 2,
        "protocol_version": 1,
        "bundle_format": BUNDLE_FORMAT,
        "harness_id": "velk-build",
        "builder_version": "protocol_session.py/1",
        "input_digest": passport_digest,
        "projection_profile": {"profile_id": profile["profile_id"],
                               "profile_digest": profile["digest"],
                               "target_scope": "global"},
        "component_adaptations": adaptations,
        "conversion_report": conversion_report,
        "managed_paths": sorted(components, key=lambda p: p.encode()),
        "files": [{"path": path,
                   "kind": "file",
                   "mode": mode,
                   "owner": "component." + path.split("/", 1)[0],
                   "digest": digest_bytes(data),
                   "byte_length": len(data)}
                  for path, (data, mode) in sorted(files.items(), key=lambda i: i[0].encode())],
    }
    # The identity is taken over everything else in the manifest.
    manifest["bundle_digest"] = digest_document(BUNDLE_TAG, manifest)

    composition = {"components": [a["stable_id"] for a in adaptations]}
    members = [
        ("bundle.json", json.dumps(manifest, indent=2).encode(), 0o644),
        ("setup-passport.json", passport, 0o644),
        ("composition-report.json", json.dumps(composition).encode(), 0o644),
        ("conversion-report.json", json.dumps(conversion_report).encode(), 0o644),
    ]
    for path, (data, mode) in sorted(files.items(), key=lambda i: i[0].encode()):
        members.append(("files/" + path, data, mode))
    return _zip(members), manifest["bundle_digest"]


def bundle_flags(path, data, bundle_digest):
    """The five flags that name a bundle exactly."""
    return ["--bundle", path, "--bundle-format", BUNDLE_FORMAT,
            "--bundle-digest", bundle_digest,
            "--artifact-digest", digest_bytes(data),
            "--bundle-size", str(len(data))]


# ---------------------------------------------------------------------------
# Talking to the provider


class Provider:
    def __init__(self, program, release_digest="protocol-session-example"):
        self.program = program
        self.release_digest = release_digest

    def ask(self, *args):
        """Runs one provider command; returns its one JSON document."""
        run = subprocess.run([self.program, *args], capture_output=True, text=True)
        if run.returncode != 0:
            raise SessionError("%s exited %d: %s" % (args[0], run.returncode, run.stderr.strip()))
        document = json.loads(run.stdout)
        if isinstance(document, dict) and document.get("state") == "refused":
            raise SessionError("%s was refused (%s): %s"
                               % (args[0], document["reason"], document["detail"]))
        return document

    def plan(self, target, operation, operation_id, *extra):
        expires = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(hours=1)
        envelope = self.ask("plan-operation", "--target", target, "--json",
                            "--operation", operation, "--operation-id", operation_id,
                            "--expires-at", expires.strftime("%Y-%m-%dT%H:%M:%S.000Z"),
                            "--provider-release-digest", self.release_digest, *extra)
        expect(envelope["state"] == "planned", "plan-operation did not plan", envelope)
        # The digest covers the plan's canonical form; check it before trusting it.
        expect(digest_document(PLAN_TAG, envelope["plan"]) == envelope["plan_digest"],
               "the plan does not hash to the digest the envelope names", envelope)
        return envelope

    def apply(self, target, envelope, plan_path, *extra):
        with open(plan_path, "w", encoding="utf-8") as f:
            f.write(canonical_json(envelope["plan"]))
        result = self.ask("apply-operation", "--target", target, "--json",
                          "--plan", plan_path, "--plan-digest", envelope["plan_digest"],
                          "--provider-release-digest", self.release_digest, *extra)
        expect(result["state"] == "verified", "apply-operation did not verify", result)
        return result


def expect(condition, message, document=None):
    if not condition:
        if document is not None:
            message += ": " + json.dumps(document)
        raise SessionError(message)


def say(step, text):
    print("%-18s %s" % (step, text))


# ---------------------------------------------------------------------------
# The session


def write_example_setup(root):
    """A small setup directory: instructions, configuration, one skill and
    one executable hook."""
    def put(rel, text, mode=0o644):
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        os.chmod(path, mode)

    put("AGENTS.md", "# Working rules\n\nKeep changes small and run the tests.\n")
    put("config.toml", "[features]\nweb_fetch = false\n")
    put("skills/review/SKILL.md", "---\nname: review\ndescription: Review a change.\n---\n")
    put("hooks/before-commit.sh", "#!/bin/sh\nexit 0\n", 0o755)


def session(program, work):
    provider = Provider(program)
    target = os.path.join(work, "target")
    setup_dir = os.path.join(work, "setup")
    os.makedirs(target)
    write_example_setup(setup_dir)

    info = provider.ask("provider-info")
    profile = info["projection_profile"]
    say("provider-info", "%s %s, profile %s" % (info["provider_id"], info["provider_version"],
                                                profile["profile_id"]))

    files = read_setup_directory(setup_dir)
    data, bundle_digest = build_bundle(files, profile, "example-setup", "1.0.0")
    bundle_path = os.path.join(work, "example.bundle.zip")
    with open(bundle_path, "wb") as f:
        f.write(data)
    claim = bundle_flags(bundle_path, data, bundle_digest)
    say("bundle", "%d files, %d bytes, identity %s" % (len(files), len(data), bundle_digest[:19]))

    validation = provider.ask("validate-bundle", "--target", target, "--json", *claim)
    expect(validation.get("valid") is True, "the bundle was not valid", validation)
    say("validate-bundle", "valid")

    before = provider.ask("status", "--target", target, "--json")["target_identity_digest"]
    install = provider.plan(target, "install", "example-install", *claim)
    say("plan-operation", "install, %d effects, plan %s" % (len(install["effects"]),
                                                          install["plan_digest"][:19]))
    for effect in install["effects"]:
        print("                     " + effect)
    applied = provider.apply(target, install, os.path.join(work, "install.plan.json"), *claim)
    expect(applied["setup_id"] == "example-setup", "the install recorded another setup", applied)
    say("apply-operation", "installed %s; previous state in %s" % (applied["setup_id"],
                                                                  applied["backup_ref"]))

    for rel, (content, mode) in files.items():
        path = os.path.join(target, rel)
        with open(path, "rb") as f:
            expect(f.read() == content, "%s does not hold the bundle's bytes" % rel)
        expect(os.stat(path).st_mode & 0o777 == mode, "%s does not have mode %o" % (rel, mode))

    status = provider.ask("status", "--target", target, "--json")
    recorded = status["provider_state"]
    expect(status["state"] == "managed" and recorded["setup_stable_id"] == "example-setup"
           and recorded["drift_state"] == "clean", "status does not report the install", status)
    say("status", "%s, setup %s, drift %s, %d backup(s)"
        % (status["state"], recorded["setup_stable_id"], recorded["drift_state"],
           len(status["backups"])))

    restore = provider.plan(target, "restore", "example-restore",
                            "--backup-ref", applied["backup_ref"])
    expect(restore["plan"]["restore_target_digest"] == before,
           "the restore would not return to the state before the install", restore)
    say("plan-operation", "restore from %s" % applied["backup_ref"])
    restored = provider.apply(target, restore, os.path.join(work, "restore.plan.json"))
    expect(restored["target_identity_digest"] == before,
           "the restore did not return to the state before the install", restored)
    for rel in files:
        expect(not os.path.exists(os.path.join(target, rel)), "%s is still in the target" % rel)
    say("apply-operation", "restored; this state captured in %s" % restored["backup_ref"])

    status = provider.ask("status", "--target", target, "--json")
    say("status", "identity %s, %d backup(s)" % (status["target_identity_digest"][:19],
                                                len(status["backups"])))
    print("session complete")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--program", default=shutil.which("velk-setup-system"),
                        help="the velk-setup-system executable")
    parser.add_argument("--keep", metavar="DIR",
                        help="work in DIR (created, and left behind) instead of a temporary one")
    args = parser.parse_args()
    if not args.program:
        parser.error("velk-setup-system is not on PATH; name it with --program")
    program = os.path.abspath(args.program)
    try:
        if args.keep:
            os.makedirs(args.keep)
            session(program, os.path.abspath(args.keep))
        else:
            with tempfile.TemporaryDirectory(prefix="velk-session-") as work:
                session(program, work)
    except SessionError as error:
        print("protocol_session: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
