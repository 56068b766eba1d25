"""The rules every path inside a bundle must pass, with the provider's words.

build_bundle checks each file against these before it writes anything, so a
bad name is reported by the library with the same reason code and sentence
the provider would give, instead of after the bundle has been shipped.
"""

import unicodedata

from .errors import LimitExceeded, PathEscapesTarget, PathNotRelative, SpecialFileNotAllowed

__all__ = ["check_bundle_path", "quoted_form"]

_MAX_PATH_BYTES = 1024
_MAX_SEGMENT_BYTES = 255
_RESERVED_DEVICES = (
    ["con", "prn", "aux", "nul"]
    + [f"com{d}" for d in "123456789\u00b9\u00b2\u00b3"]
    + [f"lpt{d}" for d in "123456789\u00b9\u00b2\u00b3"]
)
_RESERVED_CHARACTERS = '"*<>?|'
_CREDENTIAL_PATTERNS = ("credentials", ".credentials.json", "auth.json", ".netrc", "id_rsa",
                        "id_ed25519", ".pem", ".p12", "secrets")
_NOT_PRINTABLE = {"Cc", "Cf", "Cs", "Co", "Cn", "Zl", "Zp", "Zs"}
_QUOTE_ESCAPES = {'"': '\\"', "\\": "\\\\", "\t": "\\t", "\r": "\\r", "\n": "\\n", "\0": "\\0"}


def quoted_form(text):
    """A name from outside as the provider shows it inside a message."""
    out = ['"']
    for ch in text:
        if ch in _QUOTE_ESCAPES:
            out.append(_QUOTE_ESCAPES[ch])
        elif ch == " " or unicodedata.category(ch) not in _NOT_PRINTABLE:
            out.append(ch)
        else:
            out.append("\\u{%x}" % ord(ch))
    out.append('"')
    return "".join(out)


def _check_segment(segment, quoted):
    if segment == "..":
        raise PathEscapesTarget(f"{quoted} climbs out of the target")
    if len(segment.encode("utf-8")) > _MAX_SEGMENT_BYTES:
        raise LimitExceeded(f"{quoted} has a segment longer than 255 bytes")
    if segment in ("", "."):
        raise PathNotRelative(f"{quoted} has an empty or bare-dot segment")
    prefix = f"{quoted} has the segment {quoted_form(segment)}, which "
    stem = segment.split(".", 1)[0].lower()
    if stem in _RESERVED_DEVICES:
        raise PathNotRelative(f"{prefix}names the reserved device {stem} on Windows -- with or "
                              "without an extension, and in any case")
    for ch in segment:
        if ch in _RESERVED_CHARACTERS:
            raise PathNotRelative(f"{prefix}carries '{ch}', one of the characters Windows "
                                  "reserves inside a name")
    if ":" in segment:
        raise PathNotRelative(f"{prefix}carries a colon; on Windows that opens an alternate data "
                              "stream rather than naming a file, wherever in the segment it "
                              "appears")
    if segment[-1] in " .":
        raise PathNotRelative(f"{prefix}ends in a space or a period; Windows does not give a file "
                              "or directory such a name")


def check_bundle_path(path):
    """Raise the provider's refusal for a path a bundle may not carry."""
    if not path:
        raise PathNotRelative("a bundle path is not empty")
    quoted = quoted_form(path)
    if len(path.encode("utf-8")) > _MAX_PATH_BYTES:
        raise LimitExceeded(f"{quoted} is longer than 1024 bytes")
    if path[0] in "/\\~":
        raise PathNotRelative(f"{quoted} is not relative")
    if len(path.encode("utf-8")) >= 2 and path.encode("utf-8")[1:2] == b":":
        raise PathNotRelative(f"{quoted} carries a drive letter")
    for segment in path.split("/"):
        _check_segment(segment, quoted)
    if any(ord(ch) < 0x20 or 0x7F <= ord(ch) <= 0x9F for ch in path):
        raise PathNotRelative(f"{quoted} contains a control character")
    if "\\" in path:
        raise PathNotRelative(f"{quoted} uses a backslash separator")
    lowered = path.lower()
    if any(pattern in lowered for pattern in _CREDENTIAL_PATTERNS):
        raise SpecialFileNotAllowed(f"{quoted} is named like a credential and is refused by name")
