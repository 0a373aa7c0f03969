"""Writing bytes whole: to a file descriptor in a loop, or to a text
stream's descriptor."""

import errno
import os


def write_all(fd, data):
    """Writes all of `data` to `fd`: a large write to a pipe or a full
    disk may take only part of it."""
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def write_to_stream(stream, data):
    """Writes bytes to a text stream's file descriptor in a loop.

    A large write to a pipe whose reader has gone returns a partial count
    first, and the buffered layer above it lets the record end cut short
    without an error; only the next write to the descriptor says EPIPE.
    """
    if stream is None:
        raise OSError(errno.EBADF, "it is closed")
    stream.flush()
    try:
        fd = stream.fileno()
    except (AttributeError, OSError, ValueError):  # not a real file
        buffer = getattr(stream, "buffer", None)
        if buffer is None:
            stream.write(data.decode("utf-8"))
        else:
            buffer.write(data)
        stream.flush()
        return
    write_all(fd, data)
