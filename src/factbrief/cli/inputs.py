"""Reading the command's inputs, with the guards that keep a request from
being sent for nothing: empty text, text over the size limit, bytes that
are not UTF-8; and a deadline for a file that never ends (a pipe with no
writer).
"""

import os
import time

try:
    import select
    _poll = select.poll
except (ImportError, AttributeError):  # no poll(): reads cannot time out
    _poll = None

STDIN = "-"
DEFAULT_MAX_BYTES = 1_000_000
MAX_BYTES = 2**30  # a text is held in memory, cleaned and sent whole
CHUNK = 2**20
_UNITS = {"": 1, "k": 10**3, "m": 10**6, "g": 10**9,
          "ki": 2**10, "mi": 2**20, "gi": 2**30}
# A FIFO opens at once without a writer, so the wait for one can time out.
_OPEN_FLAGS = (os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)
               | getattr(os, "O_CLOEXEC", 0) | getattr(os, "O_BINARY", 0))


class Refused(Exception):
    """The input is not sent; the message says why."""


class Skipped(Refused):
    """Refused, but not a failure when the user allows it (empty text)."""


def parse_size(text, most=MAX_BYTES):
    """'1000000', '500k', '2M', '1MiB' -> bytes, at most `most`;
    ValueError otherwise."""
    value = text.strip().lower().removesuffix("b")
    digits = value.rstrip("kmgi")
    unit = value[len(digits):]
    if unit not in _UNITS or not digits.isdigit():
        raise ValueError(f"not a size: {text!r}")
    size = int(digits) * _UNITS[unit]
    if size <= 0:
        raise ValueError(f"not a positive size: {text!r}")
    if size > most:
        raise ValueError(f"{text!r} is over the largest size, {most:,} "
                         f"bytes")
    return size


def _decode(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        raise Refused(f"not UTF-8: byte {e.start} (0x{data[e.start]:02x}) "
                      f"cannot start or continue a character") from None


def read_stream(stream, limit):
    """Up to `limit` bytes of a binary stream, in chunks: the limit is
    never allocated up front."""
    data = bytearray()
    while len(data) < limit:
        chunk = stream.read(min(CHUNK, limit - len(data)))
        if not chunk:
            break
        data += chunk
    return data


def _read_fd(fd, limit, deadline, seconds):
    """Up to `limit` bytes of a file descriptor opened without blocking;
    Refused when it has not ended by `deadline` (time.monotonic())."""
    if _poll is None:  # and no O_NONBLOCK either: the reads block
        return read_stream(os.fdopen(fd, "rb", closefd=False), limit)
    poller = _poll()
    poller.register(fd, select.POLLIN)
    data = bytearray()
    while len(data) < limit:
        left = deadline - time.monotonic()
        # Read only once poll() says so: a FIFO reads as ended before a
        # writer has come.
        if left <= 0 or not poller.poll(max(1, int(left * 1000))):
            raise Refused(f"cannot read: the input did not end within "
                          f"{seconds:g} s (--timeout)")
        try:
            chunk = os.read(fd, min(CHUNK, limit - len(data)))
        except BlockingIOError:
            continue
        if not chunk:
            break
        data += chunk
    return data


def _text(data, max_bytes, size=None):
    if len(data) > max_bytes:
        whole = f"{size:,} bytes" if size else f"over {max_bytes:,} bytes"
        raise Refused(f"the text is {whole}, over the limit of "
                      f"{max_bytes:,} bytes (--max-bytes)")
    text = _decode(data)
    if not text.strip():
        raise Skipped("the text is blank (white space only): not sent"
                      if text else "the text is empty: not sent")
    return text


def read_limited(stream, max_bytes):
    """The text of a binary stream, refused when over `max_bytes`.

    Reads at most one byte more than the limit, so a huge input costs
    no more memory than the limit.
    """
    return _text(read_stream(stream, max_bytes + 1), max_bytes)


def read_bytes(name, limit, seconds):
    """Up to `limit` bytes of file `name`, and its size when it is a
    regular file (else None); OSError when it cannot be opened or read,
    Refused when it has not ended within `seconds`."""
    fd = os.open(name, _OPEN_FLAGS)
    try:
        size = os.fstat(fd).st_size or None
        return (_read_fd(fd, limit, time.monotonic() + seconds, seconds),
                size)
    finally:
        os.close(fd)


def read_file(name, max_bytes, seconds):
    """The text of file `name`; Refused with a reason when it cannot be
    used, or has not ended within `seconds`."""
    try:
        data, size = read_bytes(name, max_bytes + 1, seconds)
    except IsADirectoryError:  # one with texts was replaced by them
        raise Refused("cannot read: Is a directory with no .txt files "
                      "under it") from None
    except OSError as e:
        raise Refused(f"cannot read: {e.strerror or e}") from None
    return _text(data, max_bytes, size)
