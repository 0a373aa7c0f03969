"""Commands tied to their caller: pip, the compilers and the server run
under launch.py, which ends every process they started when the caller
is interrupted, fails, or dies (a 15-minute build must not go on
orphaned, nor race the next run for its build folder; a server must not
outlive the run it serves)."""

import contextlib
import os
import signal
import subprocess
import sys
from pathlib import Path

LAUNCHER = Path(__file__).with_name("launch.py")
# pip's own closing lines, which only say that something failed above.
PIP_SUMMARY_ERRORS = ("subprocess-exited-with-error",
                      "metadata-generation-failed", "failed building wheel",
                      "failed-wheel-build")


class Tied:
    """argv running under the launcher in a session of its own, its
    output into the open file `log`; `end()` ends it and everything it
    started, waiting up to `grace` seconds for a clean exit."""

    def __init__(self, argv, log, env=None, grace=0.0, cwd=None):
        read_end, self._lifeline = os.pipe()
        try:
            self.proc = subprocess.Popen(
                [sys.executable, "-I", str(LAUNCHER), str(grace), *argv],
                stdin=read_end, stdout=log, stderr=subprocess.STDOUT,
                env=env, cwd=cwd, start_new_session=True)
        except BaseException:
            os.close(self._lifeline)
            raise
        finally:
            os.close(read_end)
        self.grace = grace

    @property
    def pid(self):
        return self.proc.pid

    def end(self):
        """Closes the lifeline: the launcher ends the tree and itself. If
        it does not within the grace and a margin, its group is killed."""
        if self._lifeline is not None:
            os.close(self._lifeline)
            self._lifeline = None
        try:
            self.proc.wait(timeout=self.grace + 10)
        except subprocess.TimeoutExpired:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()


def run_tied(argv, log, env=None, tick=None, cwd=None):
    """Runs argv, its output into the open file `log`; returns its exit
    status. `tick()` is called about once a second while it runs."""
    tied = Tied(argv, log, env, cwd=cwd)
    try:
        while True:
            try:
                return tied.proc.wait(timeout=1.0)
            except subprocess.TimeoutExpired:
                if tick is not None:
                    tick()
    finally:
        tied.end()


def telling_line(log_path, offset=0):
    """The first line of a log, from byte `offset` on, that names an error
    (the cause, before what follows from it), else its last line."""
    try:
        with open(log_path, "rb") as f:
            f.seek(offset)
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return "no log"
    lines = [ln.strip() for ln in text.splitlines() if ln.strip()]
    for line in lines:
        low = line.lower()
        fields = line.split(None, 2)
        if len(fields) == 3 and fields[1] == "E":
            # llama.cpp's "0.00.006.501 E srv    start: ..." lines
            return " ".join(fields[2].split())[:200]
        if (("error:" in low or "cmake error" in low)
                and not any(g in low for g in PIP_SUMMARY_ERRORS)):
            return line[:200]
    return lines[-1][:200] if lines else "no output"
