"""The API key on the command line: the ways to give it that keep it off
every command line (a file, or standard input), the check that refuses a
key no HTTP request can carry, and the texts an argument list may give as
the key, to mask in a usage error.

A key given with -k stands in /proc/PID/cmdline, which every user of the
machine can read; a key in the environment or a file does not.
"""

import getpass
import os
import stat

from factbrief.cli.inputs import STDIN, Refused, read_stream, read_bytes
from factbrief.cli.exceptions import UsageError
from factbrief.cli.settings import ENV
from factbrief.local.cache import changeable_folder_above, foreign

FROM_STDIN = "-"  # `-k -`
MAX_KEY_BYTES = 64 * 1024


def keys_in(argv):
    """Every text `argv` may give as the API key, read as generously as
    argparse could read it: `-k KEY`, `-kKEY`, `-k=KEY`, after other
    flags as in `-vkKEY`, and `--api-key[=]KEY`.

    For a usage error only, where no parsed value is to be had; masking
    a little too much in that one line costs nothing.
    """
    keys = []
    for i, arg in enumerate(argv):
        if arg == "--":
            break
        following = argv[i + 1:i + 2]
        if arg == "--api-key":
            keys += following
        elif arg.startswith("--api-key="):
            keys.append(arg.partition("=")[2])
        elif arg.startswith("-") and not arg.startswith("--"):
            flags, k, rest = arg[1:].partition("k")
            if k and (not flags or flags.isalpha()):
                keys += [rest, rest.removeprefix("=")] if rest else following
    return [key for key in keys if key != FROM_STDIN]


def _given(args):
    """The option that names where the key is read from, or None."""
    if getattr(args, "api_key_file", None) is not None:
        return "--api-key-file"
    if getattr(args, "api_key", None) == FROM_STDIN:
        return "-k -"
    return None


def key_source(args):
    """Where the parsed options take the key from, for messages."""
    return (_given(args) or ("--api-key" if getattr(args, "api_key", None)
                             else ENV["api_key"][0]))


def read_key(args, option, names, stdin, seconds):
    """The key of --api-key-file PATH or -k - (None when neither is given),
    with the white space around it (a file's line end) removed.

    `option` is the option of a service the command starts itself (which
    needs no key), else None; `names` are the inputs; reading a file
    gives up after `seconds`. UsageError when the key cannot be had.
    """
    given = _given(args)
    if given is None:
        return None
    if getattr(args, "api_key_file", None) is not None and (
            getattr(args, "api_key", None) is not None):
        raise UsageError("factbrief: --api-key and --api-key-file cannot "
                         "be combined")
    if option is not None:
        raise UsageError(f"factbrief: {given} and {option} cannot be "
                         f"combined")
    path = STDIN if given == "-k -" else args.api_key_file
    if path == STDIN:
        if STDIN in names:
            raise UsageError(f"factbrief: {given} reads the API key from "
                             f"standard input, so the texts must come "
                             f"from files")
        key, where = _from_stdin(stdin), "standard input"
    else:
        key, where = _from_file(path, seconds), f"the API key file {path}"
    if not key:
        raise UsageError(f"factbrief: {where} holds no API key")
    return key


def _decoded(data, where):
    if len(data) > MAX_KEY_BYTES:
        raise UsageError(f"factbrief: {where} holds over {MAX_KEY_BYTES:,} "
                         f"bytes: not an API key")
    try:
        return data.decode("utf-8").strip()
    except UnicodeDecodeError:
        raise UsageError(f"factbrief: {where} is not UTF-8 text: not an "
                         f"API key") from None


def _from_stdin(stdin):
    if stdin is None:
        raise UsageError("factbrief: -k - needs a standard input "
                         "to read the key from")
    if stdin.isatty():  # typed: not shown on the screen
        try:
            return getpass.getpass("factbrief: API key: ").strip()
        except EOFError:
            return ""
    data = read_stream(stdin.buffer, MAX_KEY_BYTES + 1)
    return _decoded(data, "standard input")


def check_trusted(path, where):
    """Refuses a key file someone else could have written, as ssh refuses
    such keys: a key planted there would send the user's texts, and their
    bill, to the planter's account. The file (followed if a link) must be
    the caller's or root's, written by no one else, and no folder above
    it changeable by another user (a sticky one, like /tmp, is safe)."""
    uid = os.geteuid()
    try:
        st = os.stat(path)
    except OSError:
        return  # reading it says why
    if st.st_uid not in (uid, 0):
        raise UsageError(f"factbrief: {where} belongs to another user (uid "
                         f"{st.st_uid}), so factbrief will not use it: they "
                         f"could have planted the key; keep the key in a "
                         f"file of your own")
    if foreign(st, uid):
        raise UsageError(f"factbrief: {where} can be written by other users "
                         f"(mode {stat.S_IMODE(st.st_mode):o}), so factbrief "
                         f"will not use it; make it yours alone: chmod 600 "
                         f"{path}")
    for place in dict.fromkeys((path, os.path.realpath(path))):
        found = changeable_folder_above(place, uid)
        if found is not None:
            folder, fst = found
            raise UsageError(
                f"factbrief: {where} lies in {folder}, which another user "
                f"can change (owner uid {fst.st_uid}, mode "
                f"{stat.S_IMODE(fst.st_mode):o}), so they could replace the "
                f"key; keep it in a folder of your own")


def _from_file(path, seconds):
    where = f"the API key file {path}"
    check_trusted(path, where)
    try:
        data, _ = read_bytes(path, MAX_KEY_BYTES + 1, seconds)
    except OSError as e:
        raise UsageError(f"factbrief: cannot read {where}: "
                         f"{e.strerror or e}") from None
    except Refused:
        raise UsageError(f"factbrief: {where} did not end within "
                         f"{seconds:g} s (--timeout)") from None
    return _decoded(data, where)


def _kind(char):
    if char in "\r\n":
        return "a line end"
    if char.isspace():
        return "white space"
    if char.isascii():
        return "a control character"
    return "a character that is not ASCII"


def check_key(key, where):
    """Refuses a key that an HTTP header cannot carry, before anything is
    sent: the client would fail on it and quote it in its message. Says
    what kind of character is wrong, never the key; `where` is its
    key_source()."""
    bad = [c for c in key if not "!" <= c <= "~"]
    if not bad:
        return
    hint = ("; a key file with Windows line ends? --api-key-file drops "
            "them" if bad[0] in "\r\n" else "")
    raise UsageError(f"factbrief: the API key ({where}) holds "
                     f"{_kind(bad[0])}, which no service accepts{hint}")
