"""How the command and the local service show time, sizes and a line of
progress on a terminal."""

MB = 1000 ** 2
GB = 1000 ** 3


def human_size(n):
    return f"{n / GB:.1f} GB" if n >= GB else f"{n / MB:.0f} MB"


def human_time(seconds):
    seconds = int(seconds)
    if seconds < 60:
        return f"{seconds} s"
    return f"{seconds // 60} min {seconds % 60:02d} s"


class StatusLine:
    """One line at the bottom of a terminal, redrawn in place, and cleared
    before anything else is written there."""

    def __init__(self, stream, width=None):
        self.stream = stream
        self.width = width
        self.shown = False

    def draw(self, text):
        if self.width is not None:
            text = text[:self.width]
        self.stream.write("\r" + text + "\x1b[K")
        self.stream.flush()
        self.shown = True

    def clear(self):
        if self.shown:
            self.stream.write("\r\x1b[K")
            self.shown = False


def bar(done, total, label, width=20):
    """`[####----] done/total label`."""
    filled = width * done // total
    return f"[{'#' * filled}{'-' * (width - filled)}] {done}/{total} {label}"
