"""The inputs of a run as a list: files as given, a directory as the
`*.txt` files under it (recursively, sorted by path), and, for a run
with --output, a `.jsonl` corpus as one input per line of
{"id": ..., "text": ...}. Each input has a key that names it in an
output file across runs.
"""

import json
import os

from factbrief.cli.exceptions import UsageError
from factbrief.cli.inputs import Input, input_key

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
