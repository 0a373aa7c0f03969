"""The inputs of a run as a list: files as given, a directory as the
`*.txt` files under it (recursively, sorted by path), and, for a run
with --output, a `.jsonl` corpus as one input per line of
{"id": ..., "text": ...}. Each input has a key that names it in an
output file across runs.
"""

import io
import json
import os
from typing import NamedTuple

from factbrief.cli.inputs import Refused, read_file, read_limited
from factbrief.cli.settings import UsageError

TEXT_SUFFIX = ".txt"
CORPUS_SUFFIX = ".jsonl"


def _walk_error(error):
    raise UsageError(f"factbrief: cannot read the directory "
                     f"{error.filename}: {error.strerror}")


def text_files(directory):
    """The `*.txt` files under `directory`, sorted by their path's parts.

    Symbolic links to files are taken, links to directories are not
    followed (a link may point back up the tree).
    """
    found = []
    for root, _, names in os.walk(directory, onerror=_walk_error):
        found += [os.path.join(root, n) for n in names
                  if n.endswith(TEXT_SUFFIX)
                  and os.path.isfile(os.path.join(root, n))]
    return sorted(found, key=lambda p: os.path.relpath(p, directory)
                  .split(os.sep))


def expand(names):
    """`names` with each directory replaced by its text files. A
    directory without any stays, to fail alone as its own input."""
    out = []
    for name in names:
        out += (os.path.isdir(name) and text_files(name)) or [name]
    return out


class Input(NamedTuple):
    """One input: a text file, or one line of a JSONL corpus `file`.

    A corpus line has `line` (from 1) and `offset` (its first byte);
    `id` is its "id", or None when the line cannot give one, and
    `problem` says why the line cannot be used.
    """
    file: str
    line: int = 0
    offset: int = 0
    id: object = None
    problem: str = ""

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
        if not self.line:
            return self.file
        where = (f"line {self.line}" if self.id is None or self.problem
                 else f"id {json.dumps(self.id, ensure_ascii=False)}")
        return f"{self.file} {where}"

    def stamp(self, record):
        """`record` (with "file" first) with this input's place in its
        corpus after "file": its "id", or its "line" when it has none."""
        if not self.line:
            return record
        name = ({"line": self.line} if self.id is None or self.problem
                else {"id": self.id})
        return {"file": record["file"], **name,
                **{k: v for k, v in record.items() if k != "file"}}

    def read(self, max_bytes, seconds):
        """The text to send; Refused (or Skipped) when there is none, or
        when a file has not ended within `seconds`."""
        if self.problem:
            raise Refused(self.problem)
        if not self.line:
            return read_file(self.file, max_bytes, seconds)
        try:
            with open(self.file, "rb") as f:
                f.seek(self.offset)
                text = json.loads(f.readline()).get("text")
        except (OSError, ValueError, AttributeError) as e:
            text = e
        if not isinstance(text, str):  # the file changed since
            raise Refused(f"cannot read the line again ({text!r})")
        data = text.encode("utf-8", "surrogatepass")
        return read_limited(io.BytesIO(data), max_bytes)


def input_key(file, name=None):
    """The key of the input in `file` named `name` (None for a text
    file): the same whichever way the path was spelled."""
    return (os.path.normpath(file), name)


def record_key(record):
    """The key of the input a record of an output file is about, or None
    when the record names none."""
    file = record.get("file")
    if not isinstance(file, str):
        return None
    if "id" in record:
        return input_key(file, json.dumps(record["id"]))
    if "line" in record:
        return input_key(file, f"line {record['line']}")
    return input_key(file)


def _line_input(name, number, offset, raw, seen):
    try:
        item = json.loads(raw)
    except ValueError as e:
        return Input(name, number, offset,
                     problem=f"not JSON ({e})")
    if not isinstance(item, dict):
        return Input(name, number, offset,
                     problem="not a JSON object")
    ident = item.get("id")
    if isinstance(ident, bool) or not isinstance(ident, (str, int)):
        return Input(name, number, offset,
                     problem='no "id" that is a string or a whole '
                             'number')
    if not isinstance(item.get("text"), str):
        return Input(name, number, offset, ident,
                     problem='no "text" string')
    if json.dumps(ident) in seen:
        return Input(name, number, offset, ident,
                     problem=f"repeats the id of line "
                             f"{seen[json.dumps(ident)]}")
    seen[json.dumps(ident)] = number
    return Input(name, number, offset, ident)


def corpus_lines(name):
    """An Input per non-blank line of the JSONL corpus `name`. The texts
    are read again when sent, so a corpus costs its ids in memory."""
    found, seen, offset = [], {}, 0
    try:
        with open(name, "rb") as f:
            for number, raw in enumerate(f, 1):
                if raw.strip():
                    found.append(_line_input(name, number, offset, raw,
                                             seen))
                offset += len(raw)
    except OSError as e:
        raise UsageError(f"factbrief: cannot read the corpus {name}: "
                         f"{e.strerror or e}") from None
    return found


def inputs(names):
    """The Inputs of a run over `names`: directories expanded, each
    `.jsonl` file a corpus of lines."""
    out = []
    for name in expand(names):
        if name.endswith(CORPUS_SUFFIX) and os.path.isfile(name):
            out += corpus_lines(name)
        else:
            out.append(Input(name))
    return out
