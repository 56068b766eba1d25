"""Canonical JSON and the digests built on it.

The provider hashes and stores documents in one byte form: object members
sorted by their UTF-16 code units, no whitespace, integers only, strings with
the short escapes and lower-case \\u00xx for the other control characters.
A plan handed to ``apply-operation`` must be written in exactly this form, so
this writer has to produce the same bytes as the provider's own.
"""

import hashlib

__all__ = ["canonical_json", "digest_bytes", "digest_document", "digest_records",
           "PLAN_TAG", "PROFILE_TAG", "BUNDLE_TAG"]

PLAN_TAG = "ai-stp:provider-plan:v3"
PROFILE_TAG = "ai-stp:provider-projection:v3"
BUNDLE_TAG = "ai-stp:bundle:v1"

_MAX_UNSIGNED = 2**64 - 1
_MIN_SIGNED = -(2**63)

_SHORT_ESCAPES = {
    '"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r",
}


def _string(text, out):
    out.append('"')
    for ch in text:
        escaped = _SHORT_ESCAPES.get(ch)
        if escaped is not None:
            out.append(escaped)
        elif ch < " ":
            out.append("\\u%04x" % ord(ch))
        else:
            out.append(ch)
    out.append('"')


def _utf16_key(name):
    # Big-endian UTF-16 bytes compare like the code units themselves.
    return name.encode("utf-16-be", "surrogatepass")


def _value(value, out):
    if value is None:
        out.append("null")
    elif value is True:
        out.append("true")
    elif value is False:
        out.append("false")
    elif isinstance(value, int):
        if not _MIN_SIGNED <= value <= _MAX_UNSIGNED:
            raise ValueError(f"{value} does not fit the 64-bit integers canonical JSON spells")
        out.append(str(value))
    elif isinstance(value, float):
        raise ValueError("canonical JSON is integer-only; a floating-point value has no "
                         "defined spelling here")
    elif isinstance(value, str):
        _string(value, out)
    elif isinstance(value, (list, tuple)):
        out.append("[")
        for i, item in enumerate(value):
            if i:
                out.append(",")
            _value(item, out)
        out.append("]")
    elif isinstance(value, dict):
        for name in value:
            if not isinstance(name, str):
                raise ValueError(f"object member name {name!r} is not text")
        out.append("{")
        for i, name in enumerate(sorted(value, key=_utf16_key)):
            if i:
                out.append(",")
            _string(name, out)
            out.append(":")
            _value(value[name], out)
        out.append("}")
    else:
        raise ValueError(f"{type(value).__name__} has no JSON form")


def canonical_json(value):
    """The canonical bytes of a JSON value (dicts, lists, str, int, bool, None)."""
    out = []
    _value(value, out)
    return "".join(out).encode("utf-8")


def digest_bytes(data):
    """Digest text of raw bytes: "sha256:" and 64 lower-case hex digits."""
    return "sha256:" + hashlib.sha256(data).hexdigest()


def digest_document(tag, value):
    """SHA-256 over the tag, one zero byte and the value's canonical bytes."""
    return digest_bytes(tag.encode("ascii") + b"\0" + canonical_json(value))


def digest_records(records):
    """Digest of (path, kind, detail) tree records, sorted by path bytes first.

    A directory is ("a/b", "dir", ""); a file is ("a/b/c", "file:-" or
    "file:x", its digest text). This is how the provider digests a tree and
    measures a target's identity.
    """
    h = hashlib.sha256()
    for path, kind, detail in sorted(records, key=lambda r: r[0].encode("utf-8")):
        for field in (path, kind, detail):
            h.update(field.encode("utf-8"))
            h.update(b"\0")
    return "sha256:" + h.hexdigest()
