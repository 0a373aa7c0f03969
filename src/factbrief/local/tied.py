"""Set-up commands tied to their caller: pip and the compilers it starts
run in a process group of their own, which is killed when the caller is
interrupted, fails, or dies (a 15-minute build must not go on orphaned,
nor race the next run for its build folder)."""

import contextlib
import os
import signal
import subprocess
import sys

# pip's own closing lines, which only say that something failed above.
PIP_SUMMARY_ERRORS = ("subprocess-exited-with-error",
                      "metadata-generation-failed", "failed building wheel",
                      "failed-wheel-build")

# Runs the command; kills its own process group once standard input, a
# pipe whose other end the caller holds, closes: the kernel closes it
# when the caller ends, however it ends.
_LAUNCHER = """
import os, signal, subprocess, sys, threading
child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL)
def watch():
    while os.read(0, 4096):
        pass
    os.killpg(0, signal.SIGKILL)
threading.Thread(target=watch, daemon=True).start()
sys.exit(child.wait())
"""


def run_tied(argv, log, env=None, tick=None):
    """Runs argv, its output into the open file `log`; returns its exit
    status. `tick()` is called about once a second while it runs."""
    read_end, write_end = os.pipe()
    try:
        proc = subprocess.Popen(
            [sys.executable, "-c", _LAUNCHER, *argv], stdin=read_end,
            stdout=log, stderr=subprocess.STDOUT, env=env,
            start_new_session=True)
    except BaseException:
        os.close(write_end)
        raise
    finally:
        os.close(read_end)
    try:
        while True:
            try:
                return proc.wait(timeout=1.0)
            except subprocess.TimeoutExpired:
                if tick is not None:
                    tick()
    except BaseException:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        raise
    finally:
        os.close(write_end)


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
        if (("error:" in low or "cmake error" in low)
                and not any(g in low for g in PIP_SUMMARY_ERRORS)):
            return line[:200]
    return lines[-1][:200] if lines else "no output"
