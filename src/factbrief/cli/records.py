"""The records the command writes, made alike on one machine and on a
cluster: the input's names first, then the module's record, then why it
failed; and the line that says so on standard error."""

from factbrief.cli.inputs import Refused, Skipped
from factbrief.engine import ANSWER_KEY, Outcome
from factbrief.engine.outcome import blank


class Records:
    """Records for a run of `args` (its command and output options)."""

    def __init__(self, args):
        self.args = args
        self.answer_key = ANSWER_KEY[args.command]

    def blank(self):
        """A failure record, as the module makes one."""
        return blank(self.answer_key)

    def failed(self, reason, skipped=False):
        """The outcome of an input that was never sent."""
        return Outcome(self.blank(), reason, skipped=skipped)

    def unread(self, error, mask):
        """The outcome of an input whose text could not be read."""
        if isinstance(error, Refused):
            return self.failed(str(error), isinstance(error, Skipped))
        return self.failed(mask(f"cannot read: {type(error).__name__}: "
                                f"{error}"))

    def record_for(self, item, outcome):
        record = {**item.names(), **outcome.record}
        if outcome.skipped and self.args.allow_empty:
            record.update(status="skipped", reason=outcome.reason)
        elif outcome.reason:
            record["error"] = outcome.reason
        if self.args.no_content:
            record.pop("content", None)
        return record

    def report(self, out, label, outcome):
        """The input's line on standard error, if it failed; with
        --verbose the module's traceback before it."""
        if self.args.verbose and outcome.printed:
            out.write(out.mask(outcome.printed))
        if outcome.reason:
            out.say(f"factbrief: {label}: {outcome.reason}")
