"""The command's inputs, one type for a file, standard input and a line of
a JSONL corpus, and reading them with the guards that keep a request from
being sent for nothing: empty text, text over the size limit, bytes that
are not UTF-8; and a deadline for a file that never ends (a pipe with no
writer).
"""

import codecs
import hashlib
import io
import json
import os
import time
from typing import NamedTuple

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


def _octal(error):
    bad = error.object[error.start:error.end]
    return "".join(f"\\{b:03o}" for b in bad), error.end


codecs.register_error("factbrief.octal", _octal)


def shown_name(name):
    """`name` as a record and a message can carry it: as it is when it is
    text, else (a file name whose bytes are not UTF-8, which Python holds
    as surrogates) with each such byte and each backslash escaped, as
    `ls -b` shows it: b"caf\xe9.txt" is caf\\351.txt."""
    try:
        name.encode("utf-8")
        return name
    except UnicodeEncodeError:
        pass
    try:
        raw = os.fsencode(name).replace(b"\\", b"\\\\")
    except UnicodeEncodeError:  # a surrogate no file name could give
        return name.encode("utf-8", "backslashreplace").decode("ascii")
    return raw.decode("utf-8", "factbrief.octal")


def text_sha256(text):
    """The sha256 of a text as its UTF-8 bytes, in hex."""
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


class Input(NamedTuple):
    """One input: a text file, standard input (STDIN), or one line of the
    JSONL corpus `file`.

    A corpus line has `line` (from 1) and `offset` (its first byte);
    `id` is its "id", or None when the line cannot give one, and
    `problem` says why the line cannot be used; `sha256` is the sha256
    of its text when the corpus was listed, which the text read when it
    is sent must have.
    """
    file: str
    line: int = 0
    offset: int = 0
    id: object = None
    problem: str = ""
    sha256: str = ""

    @property
    def key(self):
        """What names this input in an output file: its path, and for a
        corpus line its id (or its line number when it has no usable
        id)."""
        return input_key(self.file, self._name())

    def _name(self):
        if not self.line:
            return None
        if self.id is None or self.problem:
            return f"line {self.line}"
        return json.dumps(self.id)

    def label(self):
        """How messages name it."""
        if self.file == STDIN:
            return "<stdin>"
        if not self.line:
            return shown_name(self.file)
        where = (f"line {self.line}" if self.id is None or self.problem
                 else f"id {json.dumps(self.id, ensure_ascii=False)}")
        return f"{shown_name(self.file)} {where}"

    def names(self):
        """The keys that say where its record's text came from, to go
        first in the record: its "file" (none for standard input), and
        in a corpus its "id", or its "line" when it has none."""
        if self.file == STDIN:
            return {}
        file = shown_name(self.file)
        if not self.line:
            return {"file": file}
        if self.id is None or self.problem:
            return {"file": file, "line": self.line}
        return {"file": file, "id": self.id}


def input_key(file, name=None):
    """The key of the input in `file` named `name` (None for a text
    file): the same whichever way the path was spelled, and as its
    record names it."""
    return (os.path.normpath(shown_name(file)), name)


class Reader:
    """Reads the texts of a run's inputs: at most `max_bytes` each, a file
    given `seconds` to end; standard input once, before any call, as a
    worker thread cannot wait for a terminal."""

    def __init__(self, max_bytes, seconds, stdin=None):
        self.max_bytes = max_bytes
        self.seconds = seconds
        self._stdin = stdin
        self._stdin_text = None

    def read_stdin(self):
        try:
            if self._stdin is None:
                raise Refused("there is no standard input")
            self._stdin_text = read_limited(self._stdin.buffer,
                                            self.max_bytes)
        except Refused as e:
            self._stdin_text = e

    def read(self, item):
        """The text to send for `item`; Refused (or Skipped) when there
        is none, or when a file has not ended within `seconds`."""
        if item.problem:
            raise Refused(item.problem)
        if item.file == STDIN:
            if isinstance(self._stdin_text, Refused):
                raise self._stdin_text
            return self._stdin_text
        if not item.line:
            return read_file(item.file, self.max_bytes, self.seconds)
        return self._read_line(item)

    def _read_line(self, item):
        try:
            with open(item.file, "rb") as f:
                f.seek(item.offset)
                raw = f.readline(line_bound(self.max_bytes) + 1)
            found = json.loads(raw)
            text, ident = found.get("text"), found.get("id")
        except (OSError, ValueError, AttributeError) as e:
            text = ident = e
        if not isinstance(text, str):  # the file changed since
            raise Refused(f"cannot read the line again ({text!r}): the "
                          f"corpus changed since it was listed; not sent")
        if (ident != item.id or type(ident) is not type(item.id)
                or text_sha256(text) != item.sha256):
            what = (f"it now has the id {json.dumps(ident)}"
                    if ident != item.id else "its text is another")
            raise Refused(f"the line changed since the corpus was listed "
                          f"({what}); not sent: the same command again "
                          f"lists the corpus anew")
        data = text.encode("utf-8", "surrogatepass")
        return read_limited(io.BytesIO(data), self.max_bytes)


def line_bound(max_bytes):
    """The longest corpus line that can hold a text of `max_bytes`: JSON
    spells a character in at most 6 bytes per UTF-8 byte (\\u0001), and
    the id and keys take a little more."""
    return 6 * max_bytes + 64 * 1024
