"""The command line's own exceptions; main.py maps each to its exit
status."""


class UsageError(Exception):
    """A mistake in the command line or the settings: nothing was sent."""


class OutputClosed(Exception):
    """Standard output was closed by its reader."""


class OutputUnwritable(Exception):
    """Standard output cannot be written (a full disk, a closed
    descriptor); the message says why."""


class ClusterError(Exception):
    """A run on a cluster cannot go on: one line says why."""
