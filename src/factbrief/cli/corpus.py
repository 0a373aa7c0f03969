"""The inputs of a run as a list: files as given, a directory as the
`*.txt` files under it (recursively, sorted by path), and, for a run
with --output, a `.jsonl` corpus as one input per line of
{"id": ..., "text": ...}. Each input has a key that names it in an
output file across runs.
"""

import json
import os

from factbrief.cli.inputs import (CHUNK, Input, input_key, line_bound,
                                  text_sha256)

TEXT_SUFFIX = ".txt"
CORPUS_SUFFIX = ".jsonl"


def text_files(directory):
    """The `*.txt` files under `directory`, sorted by their path's parts,
    and each folder under it that cannot be listed: reading it fails, as
    that input alone.

    Symbolic links to files are taken, links to directories are not
    followed (a link may point back up the tree).
    """
    found = []
    for root, _, names in os.walk(directory, onerror=lambda e: found.append(
            e.filename)):
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
    return Input(name, number, offset, ident,
                 sha256=text_sha256(item["text"]))


def _lines(f, bound):
    """(line bytes, or None for a line over `bound` bytes, its length) per
    line of `f`: a longer line is counted in chunks, never held."""
    while raw := f.readline(bound + 1):
        if len(raw) <= bound or raw.endswith(b"\n"):
            yield raw, len(raw)
            continue
        size, raw = len(raw), None
        while chunk := f.readline(CHUNK):
            size += len(chunk)
            if chunk.endswith(b"\n"):
                break
        yield None, size


def corpus_lines(name, max_bytes=None):
    """An Input per non-blank line of the JSONL corpus `name`. The texts
    are read again when sent, so a corpus costs its ids and hashes in
    memory; a line too long to hold a text of `max_bytes` is refused
    here, without being held. A corpus that cannot be read is one input
    that fails."""
    bound = line_bound(max_bytes) if max_bytes else 2**62
    found, seen, offset = [], {}, 0
    try:
        with open(name, "rb") as f:
            for number, (raw, size) in enumerate(_lines(f, bound), 1):
                if raw is None:
                    found.append(Input(name, number, offset, problem=(
                        f"the line is {size:,} bytes, more than a text "
                        f"within the limit of {max_bytes:,} bytes "
                        f"(--max-bytes) can take: not read")))
                elif raw.strip():
                    found.append(_line_input(name, number, offset, raw,
                                             seen))
                offset += size
    except OSError as e:
        return [Input(name, problem=f"cannot read the corpus: "
                                    f"{e.strerror or e}")]
    return found


def inputs(names, max_bytes=None):
    """The Inputs of a run over `names`: directories expanded, each
    `.jsonl` file a corpus of lines."""
    out = []
    for name in expand(names):
        if name.endswith(CORPUS_SUFFIX) and os.path.isfile(name):
            out += corpus_lines(name, max_bytes)
        else:
            out.append(Input(name))
    return out
