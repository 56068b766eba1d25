"""Exceptions: one type per refusal reason code, and the failures around them.

A provider refusal is an answer, not a crash: the provider prints
``{"state":"refused","reason":...,"detail":...}`` and exits 0. The library
raises the exception type of that reason, carrying the provider's detail
text unchanged, so a caller can catch exactly the refusals it knows how to
handle (``except Stale:`` re-plans, ``except RecoveryRequired:`` recovers).
"""

__all__ = ["VelkError", "Refusal", "ProviderFailure", "BundleSourceError",
           "REFUSALS", "refusal"]


class VelkError(Exception):
    """Base of every error this library raises."""


class Refusal(VelkError):
    """The provider (or the library, checking the same rule first) refused.

    ``reason`` is the protocol reason code, ``detail`` the human sentence.
    """

    reason = None

    def __init__(self, detail, reason=None):
        super().__init__(detail)
        self.detail = detail
        if reason is not None:
            self.reason = reason

    def __str__(self):
        return f"{self.reason}: {self.detail}"


class ProviderFailure(VelkError):
    """The provider could not answer at all: it was not found, exited 1 with
    an argument error on standard error, or printed something that is not one
    JSON document."""

    def __init__(self, message, argv=None, stderr=""):
        super().__init__(message)
        self.message = message
        self.argv = list(argv or [])
        self.stderr = stderr


class BundleSourceError(VelkError, ValueError):
    """The directory handed to build_bundle cannot be read as setup files."""


# One type per reason code, in the protocol's order.


class AdaptationBindingMissing(Refusal):
    reason = "adaptation_binding_missing"


class AdaptationBindingMismatch(Refusal):
    reason = "adaptation_binding_mismatch"


class DigestMismatch(Refusal):
    reason = "digest_mismatch"


class LimitExceeded(Refusal):
    reason = "limit_exceeded"


class LinkNotAllowed(Refusal):
    reason = "link_not_allowed"


class PathDuplicate(Refusal):
    reason = "path_duplicate"


class PathEscapesTarget(Refusal):
    reason = "path_escapes_target"


class PathNotRelative(Refusal):
    reason = "path_not_relative"


class SpecialFileNotAllowed(Refusal):
    reason = "special_file_not_allowed"


class UnsupportedBundleFormat(Refusal):
    reason = "unsupported_bundle_format"


class UnsupportedComponentKind(Refusal):
    reason = "unsupported_component_kind"


class UnsupportedNativeSurface(Refusal):
    reason = "unsupported_native_surface"


class UnsupportedProtocolVersion(Refusal):
    reason = "unsupported_protocol_version"


class UnsupportedOperation(Refusal):
    reason = "unsupported_operation"


class ProjectionProfileMismatch(Refusal):
    reason = "projection_profile_mismatch"


class UnsupportedPermissionProfile(Refusal):
    reason = "unsupported_permission_profile"


class UnsupportedPlatform(Refusal):
    reason = "unsupported_platform"


class UnsupportedArchitecture(Refusal):
    reason = "unsupported_architecture"


class RecoveryRequired(Refusal):
    reason = "recovery_required"


class Stale(Refusal):
    reason = "stale"


class ProviderUnavailable(Refusal):
    reason = "provider_unavailable"


REFUSALS = {kind.reason: kind for kind in Refusal.__subclasses__()}
__all__ += [kind.__name__ for kind in REFUSALS.values()]


def refusal(reason, detail):
    """The exception for a refusal document's reason and detail. A reason this
    library does not know still raises a Refusal, carrying the code as given."""
    kind = REFUSALS.get(reason)
    return kind(detail) if kind else Refusal(detail, reason=reason)
