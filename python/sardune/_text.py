"""The words every file reader of the package shares with sardune-spectrum:
the one number syntax, and bytes made safe to print in messages.

Numbers are [+-]?([0-9]+(.[0-9]*)?|.[0-9]+)([eE][+-]?[0-9]+)? and nothing
else (no hex, no inf or nan, no digits of other scripts); a value beyond the
largest double is out of range, one below the smallest becomes 0 or a
subnormal, as a correctly rounded conversion gives.
"""

import re
from typing import Optional, Tuple

NUMBER = re.compile(rb"[+-]?([0-9]+(\.[0-9]*)?|\.[0-9]+)([eE][+-]?[0-9]+)?")


def escaped(b: bytes) -> str:
    """Bytes from a file as text that is safe to print: printable ASCII as it
    is, everything else (and the backslash) as \\xNN."""
    return "".join(chr(c) if 0x20 <= c < 0x7F and c != 0x5C else f"\\x{c:02x}" for c in b)


def parse_number(word: bytes) -> Tuple[Optional[float], str]:
    """(value, "") for a number of the syntax, else (None, the problem:
    "'2_35' is not a number", "'1e999' is out of range")."""
    if not NUMBER.fullmatch(word):
        return None, f"'{escaped(word)}' is not a number"
    v = float(word)
    if v in (float("inf"), float("-inf")):
        return None, f"'{escaped(word)}' is out of range"
    return v, ""
