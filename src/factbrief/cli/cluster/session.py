"""The Ray session of a run: connected to a cluster for the run, or a Ray
instance started on this machine for it, with its files in a private
folder that is removed after."""

import contextlib
import logging
import os
import shutil
import tempfile

from factbrief.cli.argparser import LOCAL_RAY
from factbrief.cli.exceptions import ClusterError

# Ray puts sockets 62 bytes below its folder (".../session_DATE_TIME_US_PID
# /sockets/plasma_store"), and a socket's path holds at most 107.
SOCKET_ROOM = 107 - 62


@contextlib.contextmanager
def connected(ray, address):
    """Connected to the cluster at `address` for the block; for `local`,
    a Ray instance of this machine's, on 127.0.0.1 with its files in a
    private folder, stopped after."""
    if ray.is_initialized():  # a caller in Python connected already
        yield
        return
    address = address or os.environ.get("RAY_ADDRESS") or LOCAL_RAY
    options = dict(address=address, logging_level=logging.WARNING,
                   log_to_driver=True)
    scratch = None
    if address == LOCAL_RAY:
        scratch = _scratch()
        options.update(include_dashboard=False, _temp_dir=scratch,
                       _node_ip_address="127.0.0.1")
    try:
        ray.init(**options)
    except Exception as e:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        doing = ("start Ray on this machine" if scratch
                 else f"connect to the Ray cluster at {address}")
        raise ClusterError(f"cannot {doing}: {type(e).__name__}: {e}") \
            from None
    try:
        yield
    finally:
        ray.shutdown()
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


def _scratch():
    """A new private folder for a Ray instance's files: in the temporary
    folder, or in /tmp when that is too deep for Ray's sockets."""
    base = tempfile.gettempdir()
    if len(os.path.join(base, "fbray-12345678")) > SOCKET_ROOM:
        base = "/tmp"
    return tempfile.mkdtemp(prefix="fbray-", dir=base)
