"""Driving the provider: one process per request, one JSON document back.

Every method runs the provider once (or, for a round trip, a few times),
returns a dataclass built from its answer, and raises the refusal's own
exception type (see errors.py) when the provider refuses. The document the
provider printed stays available as ``document`` on every result.
"""

import datetime
import json
import os
import re
import shutil
import subprocess
import tempfile
import uuid
import weakref
from dataclasses import dataclass, field

from .bundle import Bundle, build_bundle
from .canonical import PLAN_TAG, canonical_json, digest_document
from .errors import ProviderFailure, refusal
from .product import ProjectionProfile

__all__ = ["Provider", "ProviderInfo", "Status", "ProviderState", "Journal", "Backup", "Plan",
           "ApplyResult", "SoftwareResult", "Recovery", "Validation", "SoftwareInventory",
           "Rollback", "SOFTWARE_OPERATIONS", "TARGET_OPERATIONS"]

TARGET_OPERATIONS = ("install", "replace", "backup", "restore", "remove")
SOFTWARE_OPERATIONS = ("software_install", "software_update", "software_remove")
_PROGRAM = "velk-setup-system"


@dataclass
class ProviderInfo:
    provider_id: str
    provider_version: str
    protocol_version: int
    harness_id: str
    build_digest: str
    operations: list
    profile: ProjectionProfile
    scoped_profiles: list
    document: dict = field(repr=False)

    def profile_for(self, scope=None):
        """The published profile for a scope: the main one for None; a bundle
        for "project" is bound to the main one too."""
        if scope in (None, "project"):
            return self.profile
        for p in self.scoped_profiles:
            if p.target_scope == scope:
                return p
        raise ValueError(f"the provider publishes no projection profile for {scope!r}")


@dataclass
class ProviderState:
    """What the target's state file says, as status reports it."""

    present: bool
    readable: bool = False
    setup_stable_id: str = None
    setup_version: str = None
    operation_id: str = None
    backup_ref: str = None
    recorded_identity: str = None
    drift_state: str = None
    found_schema: int = None
    detail: str = None


@dataclass
class Journal:
    phase: str
    operation: str
    operation_id: str


@dataclass
class Backup:
    backup_ref: str
    operation: str
    setup_id: str
    held: bool
    hold_reason: str


@dataclass
class Status:
    state: str
    target_identity_digest: str
    canonical_target: str
    cleanup_state: str
    provider_state: ProviderState
    journal: Journal
    backups: list
    document: dict = field(repr=False)

    @property
    def clean(self):
        """The state file's recorded identity equals the identity measured now."""
        return self.document.get("drift_state") == "clean"

    def holds(self, setup_id, identity=None):
        """The target holds ``setup_id`` as this provider left it (and, when
        ``identity`` is given, its owned surfaces are exactly those)."""
        s = self.provider_state
        return (s.present and s.readable and s.setup_stable_id == setup_id and self.clean
                and (identity is None or self.target_identity_digest == identity))


@dataclass
class Plan:
    """A plan as the provider made it. ``document`` is the plan artifact that
    ``apply`` writes canonically and hands back with ``digest``."""

    target: str
    operation: str
    digest: str
    effects: list
    expected_target_digest: str
    expires_at: str
    document: dict = field(repr=False)
    bundle: Bundle = field(default=None, repr=False)
    prefix: str = None

    @property
    def backup_ref(self):
        return self.document.get("backup_ref")

    @property
    def restore_target_digest(self):
        return self.document.get("restore_target_digest")

    @property
    def software_artifacts(self):
        return self.document.get("software_artifacts", [])

    def canonical_bytes(self):
        return canonical_json(self.document)

    def write(self, path):
        """Store the plan artifact canonically, the form apply-operation reads."""
        with open(path, "wb") as out:
            out.write(self.canonical_bytes())
        return path


@dataclass
class ApplyResult:
    operation: str
    plan_digest: str
    expected_target_digest: str
    target_identity_digest: str
    backup_ref: str
    setup_id: str
    document: dict = field(repr=False)


@dataclass
class SoftwareResult:
    operation: str
    version: str
    command: str
    recovered: list
    removed: bool = None
    entry_point: str = None
    executable: str = None
    files: int = None
    document: dict = field(default=None, repr=False)


@dataclass
class Recovery:
    recovered: bool
    phase: str = None
    restored_from: str = None
    target_identity_digest: str = None
    detail: str = None
    document: dict = field(default=None, repr=False)


@dataclass
class Validation:
    valid: bool
    claim: dict
    document: dict = field(repr=False)


@dataclass
class SoftwareInventory:
    prefix: str
    installed: list
    exposed: str = None


@dataclass
class Rollback:
    version: str
    previous: str = None
    changed: bool = True


def _expiry(seconds):
    at = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(seconds=seconds)
    return at.strftime("%Y-%m-%dT%H:%M:%S.") + f"{at.microsecond // 1000:03d}Z"


def _fields(kind, doc):
    """The members of ``doc`` that the dataclass ``kind`` names."""
    return {k: doc.get(k) for k in kind.__dataclass_fields__ if k != "document" and k in doc}


class Provider:
    """The provider program, run once per request.

    ``binary`` is the program's path or a name looked up on PATH; ``env``
    replaces the environment it runs in (default: this process's). Plans
    expire ``plan_lifetime`` seconds after they are made. Bundles that were
    never written and plans being applied go to a scratch directory made
    under ``scratch`` (default: the system's temporary directory) and
    removed with the Provider.
    """

    def __init__(self, binary=_PROGRAM, *, env=None, plan_lifetime=900, scratch=None):
        self.binary = binary
        self.env = env
        self.plan_lifetime = plan_lifetime
        self.scratch_root = scratch
        self._info = None
        self._scratch = None

    # -- running the program -------------------------------------------------

    def run(self, args):
        """Run the provider with ``args``; returns (exit status, stdout, stderr)."""
        argv = [self.binary] + list(args)
        try:
            done = subprocess.run(argv, capture_output=True, env=self.env, check=False,
                                  stdin=subprocess.DEVNULL)
        except OSError as e:
            raise ProviderFailure(f"{self.binary} cannot be run: {e.strerror}", argv) from e
        return (done.returncode, done.stdout.decode("utf-8", "replace"),
                done.stderr.decode("utf-8", "replace"))

    def _failure(self, argv, code, out, err):
        message = err.strip()
        if message.startswith(_PROGRAM + ": "):
            message = message[len(_PROGRAM) + 2:]
        return ProviderFailure(message or f"{self.binary} exited {code}: {out.strip()}",
                               [self.binary] + argv, err)

    def request(self, args):
        """A provider command: its JSON document, or the refusal raised."""
        code, out, err = self.run(args)
        if code != 0:
            raise self._failure(args, code, out, err)
        try:
            doc = json.loads(out)
        except ValueError as e:
            raise ProviderFailure(f"{self.binary} answered with no JSON document: {out[:200]!r}",
                                  [self.binary] + args, err) from e
        if isinstance(doc, dict) and doc.get("state") == "refused":
            raise refusal(doc.get("reason"), doc.get("detail", ""))
        return doc

    def command(self, args):
        """A user command: its text output, or ProviderFailure with its message."""
        code, out, err = self.run(args)
        if code != 0:
            raise self._failure(args, code, out, err)
        return out

    def _scratch_dir(self):
        if self._scratch is None:
            self._scratch = tempfile.mkdtemp(prefix="velk-client-", dir=self.scratch_root)
            weakref.finalize(self, shutil.rmtree, self._scratch, True)
        return self._scratch

    def _bundle_flags(self, bundle):
        if bundle.path is None:
            bundle.write(os.path.join(self._scratch_dir(), f"{uuid.uuid4().hex}.zip"))
        return bundle.flags()

    # -- the protocol ----------------------------------------------------------

    def info(self):
        """provider-info, asked once per Provider."""
        if self._info is None:
            doc = self.request(["provider-info"])
            self._info = ProviderInfo(
                provider_id=doc["provider_id"], provider_version=doc["provider_version"],
                protocol_version=doc["protocol_version"], harness_id=doc["harness_id"],
                build_digest=doc["provider_build_digest"],
                operations=doc["supported_operations"],
                profile=ProjectionProfile.from_document(doc["projection_profile"]),
                scoped_profiles=[ProjectionProfile.from_document(p)
                                 for p in doc.get("scoped_projection_profiles", [])],
                document=doc)
        return self._info

    def status(self, target, scope=None):
        args = ["status", "--target", target, "--json"]
        if scope:
            args += ["--target-scope", scope]
        doc = self.request(args)
        journal = doc.get("journal")
        return Status(
            state=doc["state"], target_identity_digest=doc["target_identity_digest"],
            canonical_target=doc["canonical_target"], cleanup_state=doc["cleanup_state"],
            provider_state=ProviderState(**_fields(ProviderState, doc["provider_state"])),
            journal=Journal(**_fields(Journal, journal)) if journal else None,
            backups=[Backup(**_fields(Backup, b)) for b in doc.get("backups", [])],
            document=doc)

    def validate(self, target, bundle):
        """validate-bundle; a bundle the provider rejects raises its refusal."""
        doc = self.request(["validate-bundle", "--target", target, "--json"]
                           + self._bundle_flags(bundle))
        if doc.get("rejected"):
            raise refusal(doc.get("reason"), doc.get("detail", ""))
        claim = {k: doc[k] for k in ("bundle_format", "bundle_digest", "artifact_digest",
                                     "bundle_size")}
        return Validation(valid=bool(doc.get("valid")), claim=claim, document=doc)

    def plan(self, target, operation, *, bundle=None, backup_ref=None, scope=None, prefix=None,
             software_version=None, operation_id=None, expires_at=None, release_digest=None,
             permission_profile=None):
        """plan-operation. Writes nothing anywhere; returns the Plan to show,
        store or apply. ``release_digest`` defaults to the provider's own build
        digest, so a plan is pinned to the build it was made by."""
        args = ["plan-operation", "--target", target, "--json", "--operation", operation,
                "--operation-id", operation_id or f"velk-client-{uuid.uuid4().hex}",
                "--expires-at", expires_at or _expiry(self.plan_lifetime),
                "--provider-release-digest", release_digest or self.info().build_digest]
        if bundle is not None:
            args += self._bundle_flags(bundle)
        if backup_ref:
            args += ["--backup-ref", backup_ref]
        if scope:
            args += ["--target-scope", scope]
        if prefix:
            args += ["--prefix", prefix]
        if software_version:
            args += ["--software-version", software_version]
        if permission_profile:
            args += ["--permission-profile", permission_profile]
        doc = self.request(args)
        artifact = doc["plan"]
        return Plan(target=target, operation=operation, digest=doc["plan_digest"],
                    effects=list(doc["effects"]),
                    expected_target_digest=doc["expected_target_digest"],
                    expires_at=artifact["expires_at"], document=artifact, bundle=bundle,
                    prefix=prefix)

    def apply(self, plan, *, software_artifacts=()):
        """apply-operation of exactly ``plan``: its artifact written canonically
        and its digest. A software plan takes the downloaded files, one per
        entry of ``plan.software_artifacts``, in that order."""
        if digest_document(PLAN_TAG, plan.document) != plan.digest:
            raise ValueError("the plan artifact does not hash to the plan's digest; it was "
                             "changed after planning")
        plan_path = plan.write(os.path.join(self._scratch_dir(), f"plan-{uuid.uuid4().hex}.json"))
        try:
            args = ["apply-operation", "--target", plan.target, "--json", "--plan", plan_path,
                    "--plan-digest", plan.digest, "--provider-release-digest",
                    plan.document.get("provider_release_digest", "")]
            if plan.bundle is not None:
                args += self._bundle_flags(plan.bundle)
            if plan.prefix:
                args += ["--prefix", plan.prefix]
            for artifact in software_artifacts:
                args += ["--software-artifact", os.fspath(artifact)]
            doc = self.request(args)
        finally:
            os.unlink(plan_path)
        if plan.operation in SOFTWARE_OPERATIONS:
            return SoftwareResult(**_fields(SoftwareResult, doc), document=doc)
        return ApplyResult(**_fields(ApplyResult, doc), document=doc)

    def recover(self, target):
        doc = self.request(["recover-operation", "--target", target, "--json"])
        return Recovery(**_fields(Recovery, doc), document=doc)

    # -- round trips -----------------------------------------------------------

    def catalog_bundle(self, setup_id, scope=None):
        """A bundle of the catalog setup ``setup_id``, as this provider ships it.

        Over the wire setups arrive as bundles only. The provider's own
        ``install`` writes the setup into a scratch directory, and the files it
        wrote there are packed, so the bundle carries exactly the content the
        provider's catalog holds, whichever catalog it found.
        """
        scratch = tempfile.mkdtemp(prefix="catalog-", dir=self._scratch_dir())
        try:
            home = os.path.join(scratch, "home")
            os.mkdir(home)
            self.command(["install", setup_id, "--target", home])
            for name in (".velk-setup-system", "MIREL-VELK-PROVIDER.json"):
                path = os.path.join(home, name)
                if os.path.isdir(path):
                    shutil.rmtree(path)
                elif os.path.exists(path):
                    os.unlink(path)
            profile = self.info().profile_for(scope)
            return build_bundle(home, scope, profile=profile, setup_id=setup_id)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def hold(self, target, backup_ref, reason=None):
        """Keep a slot out of the pool's rotation. Returns False when it was
        already held."""
        args = ["hold", "--backup", backup_ref, "--target", target]
        if reason:
            args += ["--reason", reason]
        return " was already held " not in self.command(args)

    def release(self, target, backup_ref):
        """Let a held slot rotate again. Returns False when it was not held."""
        out = self.command(["release", "--backup", backup_ref, "--target", target])
        return " was not held;" not in out

    # -- the product's software -----------------------------------------------

    def software(self, prefix):
        """The versions installed under ``prefix`` and the one its command runs."""
        out = self.command(["software", "--prefix", prefix])
        installed, exposed = [], None
        for line in out.splitlines():
            m = re.fullmatch(r"  (\* |  )(\S+)", line)
            if m:
                installed.append(m.group(2))
                if m.group(1) == "* ":
                    exposed = m.group(2)
        return SoftwareInventory(prefix=prefix, installed=installed, exposed=exposed)

    def rollback(self, prefix, version):
        """Point the prefix's command at an installed version; no download."""
        out = self.command(["rollback", "--to", version, "--prefix", prefix])
        if "; nothing to do." in out:
            return Rollback(version=version, previous=version, changed=False)
        m = re.search(r"it ran (\S+) before this", out)
        return Rollback(version=version, previous=m.group(1) if m else None)

    def software_plan(self, target, operation, prefix, version=None):
        return self.plan(target, operation, prefix=prefix, software_version=version)
