"""Where a run gets its service: the settings (base URL, API key, model)
from the options and the environment, checked before any request; or a
service the command starts itself for the run: the stand-in of `--demo`,
or the local language model of `--local` (factbrief.local).

Another way to get a service is one more class like `Demo` in SOURCES:
its options, whether the command line asks for it, the settings it needs,
and a context manager that provides the service for the run and yields
the settings to use.
"""

import contextlib
import urllib.parse
from typing import NamedTuple

from factbrief.cli import local as local_command
from factbrief.cli.exceptions import UsageError
from factbrief.local import service as local_service
from factbrief.local.tokens import context_limit

ENV = {"base_url": ("OPENAI_BASE_URL",), "api_key": ("OPENAI_API_KEY",),
       "model": ("FACTBRIEF_MODEL", "OPENAI_MODEL")}  # the first set wins
OPTION = {"base_url": "--base-url", "api_key": "--api-key",
          "model": "--model"}
NAME = {"base_url": "base URL", "api_key": "API key", "model": "model"}


class Settings(NamedTuple):
    base_url: "str | None"
    api_key: str
    model: str
    jobs: "int | None" = None        # the service's own --jobs default
    timeout: "float | None" = None   # and its own --timeout default
    limit: object = None  # a PartLimit: what one request may carry


def _from_environment(field, environ):
    for name in ENV[field]:
        if environ.get(name):
            return environ[name]
    return None


def check_url(url):
    """Refuses a base URL that no request could be sent to."""
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # raises for a port that is not a number
    except ValueError as e:
        raise UsageError(f"factbrief: the base URL {url!r} is not a URL "
                         f"({e})") from None
    if parts.scheme not in ("http", "https"):
        raise UsageError(f"factbrief: the base URL {url!r} needs http:// or "
                         f"https:// in front, e.g. https://{url}")
    if not parts.hostname:
        raise UsageError(f"factbrief: the base URL {url!r} has no host")


class Configured:
    """The service named by the options and the environment."""

    option = None

    def settings(self, args, environ):
        found, missing = {}, []
        for field in ("base_url", "api_key", "model"):
            found[field] = (getattr(args, field, None)
                            or _from_environment(field, environ))
            if not found[field]:
                names = " or ".join(ENV[field])
                missing.append(f"{NAME[field]} ({OPTION[field]} or "
                               f"{names})")
        if missing:
            raise UsageError(f"factbrief: missing {'; '.join(missing)}; "
                             f"or try --local or --demo")
        check_url(found["base_url"])
        return Settings(**found)

    @contextlib.contextmanager
    def serve(self, settings, out):
        yield settings


def _refuse(args, fields, option):
    """UsageError for the first of `fields` given as an option."""
    for field in fields:
        if getattr(args, field, None) is not None:
            raise UsageError(f"factbrief: {OPTION[field]} and {option} "
                             f"cannot be combined")


class Demo:
    """The local stand-in: not a language model, needs no settings."""

    option = "--demo"

    def add_options(self, parser, **kw):
        parser.add_argument(
            self.option, action="store_true", **kw,
            help="use the local stand-in service, which is not a language "
                 "model: no account needed")

    def wanted(self, args):
        return bool(getattr(args, "demo", False))

    def settings(self, args, environ):
        _refuse(args, ("base_url", "api_key"), self.option)
        model = (getattr(args, "model", None)
                 or _from_environment("model", environ) or "stand-in")
        return Settings(None, "stand-in", model)

    @contextlib.contextmanager
    def serve(self, settings, out):
        from factbrief.standin import StandIn
        with StandIn() as server:
            out.say(f"factbrief: --demo: the answers come from the local "
                    f"stand-in at {server.base_url}, not from a language "
                    f"model")
            yield settings._replace(base_url=server.base_url)


class LocalRun(NamedTuple):
    model_file: "str | None"  # None: the built-in model
    environ: dict  # where the cache folder is
    jobs: "int | None" = None  # --jobs as given: a server started for the
    # run serves at least as many at once
    # Each request given time for its turn in a batch.
    timeout: float = local_service.REQUEST_TIMEOUT


class Local:
    """A language model served on this machine (factbrief.local): set up
    on first use, started for the run and stopped after. It gives the
    settings; a failure to set it up or start it is a LocalError."""

    option = "--local"

    def add_options(self, parser, **kw):
        local_command.add_run_options(parser, **kw)  # and --model-file

    def wanted(self, args):
        return local_command.wanted(args)

    def settings(self, args, environ):
        _refuse(args, ("base_url", "api_key", "model"), self.option)
        return LocalRun(local_command.model_file(args, environ), environ,
                        getattr(args, "jobs", None))

    @contextlib.contextmanager
    def serve(self, run, out):
        with local_command.run_service(run.model_file, run.environ,
                                       out, run.jobs) as served:
            # As many requests as the server serves at once: one, unless
            # --jobs or the slots asked for more.
            yield Settings(served.base_url, served.api_key, served.model,
                           served.slots, run.timeout, context_limit(served))


SOURCES = (Demo(), Local())


def add_source_options(parser, **kw):
    for source in SOURCES:
        source.add_options(parser, **kw)


def source_for(args):
    """The source the options pick: at most one of SOURCES, else the
    configured service."""
    chosen = [s for s in SOURCES if s.wanted(args)]
    if len(chosen) > 1:
        raise UsageError(f"factbrief: {' and '.join(s.option for s in chosen)}"
                         f" cannot be combined")
    return chosen[0] if chosen else Configured()
