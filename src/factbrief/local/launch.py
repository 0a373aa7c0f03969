"""Runs a command tied to the process that started this one; run by path
with the standard library only (`python -I launch.py GRACE COMMAND...`).

Standard input is a pipe whose other end the caller holds; the kernel
closes it when the caller ends, however it ends. Then, or on SIGTERM,
every process the command started goes: SIGTERM, and SIGKILL after GRACE
seconds (0: at once). This process is their subreaper, so on Linux that
includes children that left for a session of their own (Ninja gives each
compile one), whose parents ended first. The command itself gets a
parent-death signal, should this process be killed outright, and a
umask of 077: what it writes in the cache is the caller's alone.
"""

import os
import signal
import subprocess
import sys
import threading
import time

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36


def _prctl():
    try:
        import ctypes
        return ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None  # not Linux: the process group is what can be ended


def descendants(pid):
    """The processes below pid that have not ended, from /proc (empty
    where there is none)."""
    children = {}
    try:
        names = os.listdir("/proc")
    except OSError:
        return []
    for name in names:
        if not name.isdigit():
            continue
        try:
            with open(f"/proc/{name}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z":
            children.setdefault(int(fields[1]), []).append(int(name))
    found, todo = [], [pid]
    while todo:
        for child in children.get(todo.pop(), ()):
            found.append(child)
            todo.append(child)
    return found


def _reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def end_tree(grace):
    """Ends every descendant: SIGTERM once, then SIGKILL once `grace`
    seconds have passed; returns when none is left."""
    deadline = time.monotonic() + grace
    asked = set()  # a second SIGTERM makes llama-server skip its clean-up
    while True:
        _reap()
        left = descendants(os.getpid())
        if not left:
            _reap()  # those that ended since: not for init to collect
            return
        late = time.monotonic() >= deadline
        for pid in left:
            if not late and pid in asked:
                continue
            asked.add(pid)
            try:
                os.kill(pid, signal.SIGKILL if late else signal.SIGTERM)
            except ProcessLookupError:
                pass
        time.sleep(0.05)


def main(argv):
    grace = float(argv[0])
    os.umask(0o077)
    prctl = _prctl()
    if prctl is not None:
        prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    me = os.getpid()

    def die_with_me():  # in the child, before it runs the command
        if prctl is not None:
            prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != me:
            os._exit(1)

    ending = threading.Event()

    def finish(*_):
        ending.set()
        end_tree(grace)
        os.killpg(0, signal.SIGKILL)  # anything /proc did not show, and us

    signal.signal(signal.SIGTERM, finish)
    child = subprocess.Popen(argv[1:], stdin=subprocess.DEVNULL,
                             preexec_fn=die_with_me)

    def watch():
        try:
            while os.read(0, 4096):
                pass
        except OSError:
            pass
        finish()

    threading.Thread(target=watch, daemon=True).start()
    status = child.wait()
    if ending.is_set():
        threading.Event().wait()  # finish() ends the tree, and us with it
    end_tree(0)  # what the command left running
    return status if status >= 0 else 128 - status


if __name__ == "__main__":
    status = main(sys.argv[1:])
    # The watch thread is still blocked reading the lifeline: a normal
    # exit would leave its objects unfreed behind the interpreter's
    # shutdown, and a leak checker then blames this process. Nothing here
    # needs a clean-up beyond the flush.
    sys.stdout.flush()
    sys.stderr.flush()
    os._exit(status)
