"""The argparse types of the command's options."""

import argparse
import math

from factbrief.cli.inputs import parse_size


def number(kind, low, high=None, subject=""):
    """An int of at least `low` (from `low` to `high` when given), or a
    finite float above `low` and at most `high`. `subject` names the
    value in the message ("a port must be ...")."""
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            value = None
        if (value is None or not math.isfinite(value) or value < low
                or (kind is float and value == low)
                or (high is not None and value > high)):
            raise argparse.ArgumentTypeError(
                f"{subject + ' ' if subject else ''}must be "
                f"{_wanted(kind, low, high)}, not {text!r}")
        return value
    return parse


def _wanted(kind, low, high):
    if kind is int:
        return (f"a whole number from {low} to {high}" if high is not None
                else f"a whole number of at least {low}")
    most = f" and at most {high:g}" if high is not None else ""
    return f"a number above {low:g}{most}"


def size(text):
    try:
        return parse_size(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
