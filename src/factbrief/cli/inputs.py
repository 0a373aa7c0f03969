"""Reading the command's inputs, with the guards that keep a request from
being sent for nothing: empty text, text over the size limit, bytes that
are not UTF-8.
"""

import os

STDIN = "-"
DEFAULT_MAX_BYTES = 1_000_000
_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9,
          "ki": 2**10, "mi": 2**20, "gi": 2**30}


class Refused(Exception):
    """The input is not sent; the message says why."""


class Skipped(Refused):
    """Refused, but not a failure when the user allows it (empty text)."""


def parse_size(text):
    """'1000000', '500k', '2M', '1MiB' -> bytes; ValueError otherwise."""
    value = text.strip().lower().removesuffix("b")
    digits = value.rstrip("kmgi")
    unit = value[len(digits):]
    if unit not in _UNITS or not digits.isdigit():
        raise ValueError(f"not a size: {text!r}")
    size = int(digits) * _UNITS[unit]
    if size <= 0:
        raise ValueError(f"not a positive size: {text!r}")
    return size


def _decode(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise Refused(f"not UTF-8: byte {e.start} (0x{data[e.start]:02x}) "
                      f"cannot start or continue a character") from None


def read_limited(stream, max_bytes, size=None):
    """The text of a binary stream, refused when over `max_bytes`.

    Reads at most one byte more than the limit, so a huge input costs
    no memory; `size` is the whole length when known.
    """
    data = stream.read(max_bytes + 1)
    if len(data) > max_bytes:
        whole = f"{size:,} bytes" if size else f"over {max_bytes:,} bytes"
        raise Refused(f"the text is {whole}, over the limit of "
                      f"{max_bytes:,} bytes (--max-bytes)")
    text = _decode(data)
    if not text.strip():
        raise Skipped("the text is blank (white space only): not sent"
                      if text else "the text is empty: not sent")
    return text


def read_file(name, max_bytes):
    """The text of file `name`; Refused with a reason when it cannot be
    used."""
    try:
        with open(name, "rb") as f:
            size = os.fstat(f.fileno()).st_size
            return read_limited(f, max_bytes, size or None)
    except OSError as e:
        raise Refused(f"cannot read: {e.strerror or e}") from None
