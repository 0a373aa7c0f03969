"""The command's exit statuses: one enum, from which `--help` says what
each means."""

import enum
import signal


class ExitStatus(enum.IntEnum):
    OK = 0
    FAILED = 1
    USAGE = 2
    INTERRUPTED = 130
    PIPE_CLOSED = 128 + signal.SIGPIPE  # what a shell shows for it


MEANING = {
    ExitStatus.OK: 'every input got an "ok" record (or was skipped with '
                   '--allow-empty)',
    ExitStatus.FAILED: 'some input failed: its record has "status": '
                       '"error" and an "error" key, and standard error has '
                       'one line saying why; or the local service of '
                       '--local could not be set up or started (one line '
                       'says what to do, nothing was sent); or standard '
                       'output could not be written (e.g. a full disk): '
                       'the inputs that got no record are named; with '
                       '--strict, also when an answer states numbers its '
                       'text does not support',
    ExitStatus.USAGE: 'usage error: a bad option, a missing or malformed '
                      'setting, or factbrief not installed for this '
                      'Python; nothing was sent',
    ExitStatus.INTERRUPTED: 'interrupted (Ctrl-C); the inputs that got no '
                            'record are named',
    ExitStatus.PIPE_CLOSED: 'standard output was closed (e.g. by `| '
                            'head`); the run stops quietly',
}


def help_text(width=75):
    """The exit statuses for --help, each meaning wrapped under its
    number."""
    import textwrap
    lines = ["exit status:"]
    for status in ExitStatus:
        lines += textwrap.wrap(MEANING[status], width, initial_indent=(
            f"  {status.value:<5}"), subsequent_indent=" " * 7,
            break_on_hyphens=False)
    return "\n".join(lines) + "\n"
