"""Packing a directory of setup files into an "ai-stp-bundle/2" bundle.

A bundle is a ZIP archive of one byte-reproducible shape: every member
stored, no flags, no extra fields, a Unix creator, every timestamp at
1980-01-01T00:00:00. Its first four members are the manifest
(bundle.json), the setup passport and two reports; the setup's files follow
as "files/<path>". The manifest names each file with its digest and length,
groups the files into one component per top-level surface, binds the bundle
to a projection profile and carries its own identity (bundle_digest), a
document digest over the manifest without that member.
"""

import hashlib
import io
import json
import os
import stat
import struct
import zipfile
import zlib
from dataclasses import dataclass, field

from .canonical import BUNDLE_TAG, canonical_json, digest_bytes, digest_document, digest_records
from .errors import (AdaptationBindingMismatch, AdaptationBindingMissing, BundleSourceError,
                     LimitExceeded, LinkNotAllowed, PathDuplicate, SpecialFileNotAllowed,
                     UnsupportedNativeSurface)
from .paths import check_bundle_path, quoted_form
from .product import (BUNDLE_BYTES_LIMIT, BUNDLE_FORMAT, CLIENT_VERSION, FILE_BYTES_LIMIT,
                      FILE_LIMIT, HARNESS_ID, SURFACE_KINDS, profile_for_scope)

__all__ = ["Bundle", "BundleFile", "build_bundle", "load_bundle", "expected_identity",
           "files_in_place"]

PROVIDER_ID = "velk-setup-system"
_FIXED_MEMBERS = ("bundle.json", "setup-passport.json", "composition-report.json",
                  "conversion-report.json")


@dataclass(frozen=True)
class BundleFile:
    path: str
    mode: int
    digest: str
    byte_length: int


@dataclass
class Bundle:
    """A bundle's bytes and the five values of the claim that names it.

    ``path`` is where the bytes were written (None until ``write``); the
    provider reads bundles from files, so the Provider writes an unwritten
    bundle to a scratch file of its own before naming it.
    """

    data: bytes
    bundle_digest: str
    setup_id: str = ""
    setup_version: str = ""
    scope: str = None
    files: list = field(default_factory=list)
    expected_identity: str = None
    path: str = None
    format: str = BUNDLE_FORMAT

    @property
    def artifact_digest(self):
        return digest_bytes(self.data)

    @property
    def size(self):
        return len(self.data)

    def write(self, path):
        """Write the bytes to ``path`` and remember it; returns the bundle."""
        with open(path, "wb") as out:
            out.write(self.data)
        self.path = os.path.abspath(path)
        return self

    def claim(self):
        """The claim as the provider echoes it."""
        return {"bundle_format": self.format, "bundle_digest": self.bundle_digest,
                "artifact_digest": self.artifact_digest, "bundle_size": self.size}

    def flags(self):
        """The five command-line flags that name this bundle."""
        if self.path is None:
            raise ValueError("the bundle has not been written to a file yet")
        return ["--bundle", self.path, "--bundle-format", self.format,
                "--bundle-digest", self.bundle_digest, "--artifact-digest", self.artifact_digest,
                "--bundle-size", str(self.size)]


def _read_tree(root):
    """(relative path, bytes, mode) of every regular file below root, sorted by
    path bytes. Links and special files are refused: the provider writes
    regular files only."""
    found = []

    def visit(directory, prefix):
        try:
            names = os.listdir(directory)
        except OSError as e:
            raise BundleSourceError(f"cannot list {directory}: {e.strerror}") from e
        for raw in names:
            try:
                name = os.fsencode(raw).decode("utf-8")
            except UnicodeDecodeError as e:
                raise BundleSourceError(
                    f"{os.path.join(directory, raw)!r} has a name that is not UTF-8") from e
            full = os.path.join(directory, raw)
            relative = f"{prefix}{name}"
            st = os.lstat(full)
            if stat.S_ISDIR(st.st_mode):
                visit(full, relative + "/")
            elif stat.S_ISLNK(st.st_mode):
                raise LinkNotAllowed(f"{quoted_form(relative)} is a symbolic link, and a bundle "
                                     "carries regular files only")
            elif not stat.S_ISREG(st.st_mode):
                raise SpecialFileNotAllowed(f"{quoted_form(relative)} is neither a file nor a "
                                            "directory")
            else:
                with open(full, "rb") as f:
                    data = f.read()
                found.append((relative, data, 0o755 if st.st_mode & 0o111 else 0o644))

    if not os.path.isdir(root):
        raise BundleSourceError(f"{root} is not a directory")
    visit(root, "")
    found.sort(key=lambda item: item[0].encode("utf-8"))
    return found


def _source(directory):
    """The home tree and the setup id/version a directory declares. A directory
    holding setup.json and home/ is a setup in the catalog's own layout;
    any other directory is the tree itself."""
    manifest = os.path.join(directory, "setup.json")
    home = os.path.join(directory, "home")
    if os.path.isfile(manifest) and os.path.isdir(home):
        try:
            with open(manifest, "rb") as f:
                doc = json.loads(f.read())
        except (OSError, ValueError) as e:
            raise BundleSourceError(f"{manifest} cannot be read as JSON: {e}") from e
        if not isinstance(doc, dict) or not isinstance(doc.get("id"), str) or not doc["id"]:
            raise BundleSourceError(f"{manifest} names no setup id")
        version = doc.get("version")
        return home, doc["id"], version if isinstance(version, str) else None
    name = os.path.basename(os.path.normpath(os.path.abspath(directory)))
    return directory, name, None


def _top(path):
    return path.split("/", 1)[0]


def expected_identity(files, scope=None):
    """The identity digest a target has once exactly these BundleFiles are its
    owned surfaces, the way the provider measures a target: a record for every
    file and every directory on the way to it. Under "user_root" the provider
    measures ``skills`` whole, a root other products share, so there this is
    the target's identity only while nothing else lives under ``skills``."""
    records = {}
    for f in files:
        parts = f.path.split("/")
        for i in range(1, len(parts)):
            records["/".join(parts[:i])] = ("dir", "")
        records[f.path] = ("file:x" if f.mode & 0o111 else "file:-", f.digest)
    return digest_records([(p, k, d) for p, (k, d) in records.items()])


def files_in_place(files, target):
    """True when every BundleFile is at its path under ``target`` with its
    bytes and execute bit, reached without following a link."""
    for f in files:
        path = os.path.join(target, *f.path.split("/"))
        try:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK)
        except OSError:
            return False
        try:
            info = os.fstat(fd)
            if not stat.S_ISREG(info.st_mode) or bool(info.st_mode & 0o100) != bool(f.mode & 0o111):
                return False
            digest = hashlib.sha256()
            while True:
                chunk = os.read(fd, 1 << 16)
                if not chunk:
                    break
                digest.update(chunk)
            if "sha256:" + digest.hexdigest() != f.digest:
                return False
        finally:
            os.close(fd)
    return True


def _check(files, profile, scope):
    namespaces = profile.native_namespaces
    lowered = {}
    for path, data, _mode in files:
        check_bundle_path(path)
        earlier = lowered.setdefault(path.lower(), path)
        if earlier != path:
            raise PathDuplicate(f"{quoted_form(path)} and {quoted_form(earlier)} differ only in "
                                "case")
        if not any(path == ns or path.startswith(ns + "/") for ns in namespaces):
            raise UnsupportedNativeSurface(f"the bundle writes {quoted_form(path)}, which is "
                                           f"outside the surface {PROVIDER_ID} owns")
        if len(data) > FILE_BYTES_LIMIT:
            raise LimitExceeded(f"{quoted_form(path)} is larger than the declared file limit")
    limit = min(FILE_LIMIT, profile.max_files)
    if len(files) > limit:
        raise LimitExceeded(f"{len(files)} files declared against a limit of {limit}")
    if not files:
        raise AdaptationBindingMissing("bundle v2 has no component_adaptations")
    for top in sorted({_top(p) for p, _, _ in files}):
        kind = _kind(top, scope)
        if kind not in profile.component_kinds:
            raise AdaptationBindingMismatch(f"adaptation for {top} names a kind outside the "
                                            "selected profile")


def _kind(top, scope):
    if scope == "user_root":
        return "skill"
    return SURFACE_KINDS.get(top) or "setting"


def _zip(members):
    """The archive bytes of (name, data, mode) members in the one accepted shape."""
    out = bytearray()
    central = bytearray()
    for name, data, mode in members:
        encoded = name.encode("utf-8")
        crc = zlib.crc32(data) & 0xFFFFFFFF
        offset = len(out)
        # version needed 2.0; no flags, stored, time 0, date 1980-01-01
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 0, 0, 0x0021, crc, len(data),
                           len(data), len(encoded), 0)
        out += encoded + data
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 0x031E, 20, 0, 0, 0, 0x0021,
                               crc, len(data), len(data), len(encoded), 0, 0, 0, 0,
                               (stat.S_IFREG | mode) << 16, offset)
        central += encoded
    start = len(out)
    out += central
    out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(members), len(members), len(central),
                       start, 0)
    return bytes(out)


def build_bundle(directory, scope=None, *, profile=None, setup_id=None, setup_version=None):
    """Pack a directory of setup files into a bundle the provider will accept.

    ``directory`` is either a tree that mirrors the target (``AGENTS.md``,
    ``skills/x/SKILL.md``, ...) or a setup in the catalog's layout
    (``setup.json`` with its ``id``, and the tree under ``home/``). ``scope``
    is None (the product's own home), "project" or "user_root". ``profile``
    is the projection profile to bind to, by default the built-in copy for
    the scope; pass ``Provider.info().profile_for(scope)`` to bind to what a
    live provider publishes. The setup id defaults to the one setup.json
    names, or the directory's name; the version to a short digest of the
    content, so that changed content is a changed version.

    Every file is checked the way the provider will check it (path rules,
    case duplicates, surfaces, limits, kinds) before anything is built; a
    failed check raises the refusal the provider would give.
    """
    if profile is None:
        profile = profile_for_scope(scope)
    home, declared_id, declared_version = _source(directory)
    files = _read_tree(home)
    _check(files, profile, scope)
    declared = [BundleFile(p, m, digest_bytes(d), len(d)) for p, d, m in files]
    identity = expected_identity(declared, scope)
    setup_id = setup_id or declared_id
    setup_version = setup_version or declared_version or identity[:19]

    passport = canonical_json({"stable_id": setup_id, "version": setup_version})
    passport_digest = digest_bytes(passport)
    groups = {}
    for path, data, _mode in files:
        groups.setdefault(_top(path), []).append((path, data))

    adaptations, entries = [], []
    for top in sorted(groups, key=lambda t: t.encode("utf-8")):
        stable_id = f"{setup_id}:{top}"
        kind = _kind(top, scope)
        content = b"".join(data for _, data in groups[top])
        adaptations.append({
            "version": setup_version,
            "stable_id": stable_id,
            "member_paths": [path for path, _ in groups[top]],
            "adaptation_id": "adaptation_" + digest_bytes(
                f"{stable_id}\0{setup_version}".encode("utf-8"))[7:],
            "passport_digest": passport_digest,
            "projection_kind": "native_files",
            "projection_artifact": {"digest": digest_bytes(content),
                                    "size_bytes": max(1, len(content))},
            "provider_component_kind": kind,
        })
        entries.append({"stable_id": stable_id, "component_type": kind, "native_surface": top})

    report = {"complete": True, "entries": entries}
    manifest = {
        "schema_version": 2,
        "protocol_version": 1,
        "bundle_format": BUNDLE_FORMAT,
        "harness_id": HARNESS_ID,
        "builder_version": f"velk_setup_client/{CLIENT_VERSION}",
        "input_digest": identity,
        "projection_profile": {"profile_id": profile.profile_id,
                               "profile_digest": profile.digest,
                               "target_scope": scope or "global"},
        "component_adaptations": adaptations,
        "conversion_report": report,
        "managed_paths": sorted(groups, key=lambda t: t.encode("utf-8")),
        "files": [{"path": path, "kind": "file", "mode": mode,
                   "owner": f"{setup_id}:{_top(path)}", "digest": digest_bytes(data),
                   "byte_length": len(data)} for path, data, mode in files],
    }
    if scope is not None:
        manifest["target_scope"] = scope
    manifest["bundle_digest"] = digest_document(BUNDLE_TAG, manifest)

    members = [
        ("bundle.json", canonical_json(manifest), 0o644),
        ("setup-passport.json", passport, 0o644),
        ("composition-report.json",
         canonical_json({"components": [a["stable_id"] for a in adaptations]}), 0o644),
        ("conversion-report.json", canonical_json(report), 0o644),
    ] + [("files/" + path, data, mode) for path, data, mode in files]
    data = _zip(members)
    limit = min(BUNDLE_BYTES_LIMIT, profile.max_bytes)
    if len(data) > limit:
        raise LimitExceeded(f"the artifact is {len(data)} bytes against a limit of {limit}")
    return Bundle(
        data=data, bundle_digest=manifest["bundle_digest"], setup_id=setup_id,
        setup_version=setup_version, scope=scope, expected_identity=identity, files=declared)


def load_bundle(path):
    """A bundle file written earlier, with the claim read back from its manifest."""
    with open(path, "rb") as f:
        data = f.read()
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            manifest = json.loads(archive.read("bundle.json"))
            try:
                passport = json.loads(archive.read("setup-passport.json"))
            except (KeyError, ValueError):
                passport = {}
    except (zipfile.BadZipFile, KeyError, ValueError) as e:
        raise BundleSourceError(f"{path} is not a bundle: {e}") from e
    files = [BundleFile(f["path"], f["mode"], f["digest"], f["byte_length"])
             for f in manifest.get("files", [])]
    return Bundle(data=data, bundle_digest=manifest.get("bundle_digest", ""),
                  setup_id=passport.get("stable_id", ""),
                  setup_version=passport.get("version", ""),
                  scope=manifest.get("target_scope"), files=files,
                  expected_identity=expected_identity(files, manifest.get("target_scope")),
                  path=os.path.abspath(path))
