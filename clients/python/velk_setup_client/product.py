"""What the library knows of the product before it asks the provider.

The provider publishes its projection profiles through ``provider-info``;
these copies let build_bundle work without running the provider, and the
tests check them against what the provider publishes. Pass the profile from
``Provider.info()`` to build_bundle to bind a bundle to a live provider.
"""

from dataclasses import dataclass, field

from .canonical import PROFILE_TAG, digest_document

__all__ = ["ProjectionProfile", "MAIN_PROFILE", "USER_ROOT_PROFILE", "profile_for_scope",
           "SURFACE_KINDS", "SCOPES", "CLIENT_VERSION", "HARNESS_ID", "BUNDLE_FORMAT", "EMPTY_IDENTITY",
           "FILE_LIMIT", "FILE_BYTES_LIMIT", "BUNDLE_BYTES_LIMIT"]

CLIENT_VERSION = "0.1.0"
HARNESS_ID = "velk-build"
BUNDLE_FORMAT = "ai-stp-bundle/2"
SCOPES = ("project", "user_root")
# The identity of a target holding none of the owned surfaces: SHA-256 of no bytes.
EMPTY_IDENTITY = "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"

# Ceilings a bundle's own limits can tighten but never loosen.
FILE_LIMIT = 2000
FILE_BYTES_LIMIT = 4 * 1024 * 1024
BUNDLE_BYTES_LIMIT = 64 * 1024 * 1024

# The component kind the product reads at each owned surface. Surfaces the
# product reads no kind from are still owned; their files travel as
# "setting", a kind every main-profile bundle may carry.
SURFACE_KINDS = {
    "AGENTS.md": "instruction",
    "config.toml": "setting",
    "sandbox.toml": None,
    "skills": "skill",
    "agents": "agent",
    "plugins": "plugin",
    "hooks": "hook",
    "workflows": None,
    "rules": None,
    "commands": None,
    "personas": None,
    "roles": None,
}


@dataclass(frozen=True)
class ProjectionProfile:
    """One shape of content the provider accepts bundles for."""

    profile_id: str
    component_kinds: tuple
    projection_kinds: tuple
    native_namespaces: tuple
    bundle_formats: tuple = (BUNDLE_FORMAT,)
    max_files: int = 8192
    max_bytes: int = 67108864
    target_scope: str = None
    published_digest: str = field(default=None, compare=False)

    def identity(self):
        """The object the provider digests: the published profile without its digest."""
        doc = {
            "profile_id": self.profile_id,
            "component_kinds": list(self.component_kinds),
            "projection_kinds": list(self.projection_kinds),
            "native_namespaces": list(self.native_namespaces),
            "bundle_formats": list(self.bundle_formats),
            "max_files": self.max_files,
            "max_bytes": self.max_bytes,
        }
        if self.target_scope is not None:
            doc["target_scope"] = self.target_scope
        return doc

    @property
    def digest(self):
        return self.published_digest or digest_document(PROFILE_TAG, self.identity())

    @classmethod
    def from_document(cls, doc):
        return cls(
            profile_id=doc["profile_id"],
            component_kinds=tuple(doc["component_kinds"]),
            projection_kinds=tuple(doc["projection_kinds"]),
            native_namespaces=tuple(doc["native_namespaces"]),
            bundle_formats=tuple(doc["bundle_formats"]),
            max_files=doc["max_files"],
            max_bytes=doc["max_bytes"],
            target_scope=doc.get("target_scope"),
            published_digest=doc.get("digest"),
        )


MAIN_PROFILE = ProjectionProfile(
    profile_id="velk/native-and-plugins/1",
    component_kinds=("instruction", "skill", "agent", "hook", "plugin", "setting"),
    projection_kinds=("native_files", "marketplace", "plugin"),
    native_namespaces=tuple(SURFACE_KINDS),
)

USER_ROOT_PROFILE = ProjectionProfile(
    profile_id="velk/native-files/user-root/1",
    component_kinds=("skill",),
    projection_kinds=("native_files",),
    native_namespaces=("skills",),
    target_scope="user_root",
)


def profile_for_scope(scope):
    """The built-in profile a bundle for ``scope`` is bound to. A bundle for
    "project" carries the main profile under that scope word."""
    if scope is None or scope == "project":
        return MAIN_PROFILE
    if scope == "user_root":
        return USER_ROOT_PROFILE
    raise ValueError(f"{scope!r} is not a target scope; the scopes are {', '.join(SCOPES)}")
