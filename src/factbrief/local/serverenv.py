"""The server's own virtual environment in the cache.

llama-cpp-python is published on PyPI as source only, so it is built here
once for this machine's processor; the wheel is kept, so setting the
environment up again (after `factbrief local remove --server`, say)
installs it in seconds. The user's own environment is never touched.
"""

import os
import re
import shutil
import venv

from .cache import GB, LocalError, publish
from .tied import run_tied, telling_line

LLAMA_VERSION = "0.3.36"
# Measured on 2 cores: a 24 MB wheel, 172 MB installed with the server's
# dependencies, and about 0.3 GB of build files while compiling.
BUILD_SPACE = int(0.7 * GB)
INSTALL_SPACE = int(0.25 * GB)
STEP_LINE = re.compile(r"\[(\d+)/(\d+)\] ")
COMPILERS = {"C": ("CC", ("cc", "gcc", "clang")),
             "C++": ("CXX", ("c++", "g++", "clang++"))}


class ServerEnv:
    def __init__(self, cache):
        self.cache = cache
        self.python = cache.venv / "bin" / "python"
        self._marker = cache.venv / ".factbrief-ready"

    def ready(self):
        try:
            return (self.python.exists()
                    and self._marker.read_text().strip() == LLAMA_VERSION)
        except OSError:
            return False

    def kept_wheel(self):
        found = sorted(self.cache.wheels.glob(
            f"llama_cpp_python-{LLAMA_VERSION}-*.whl"))
        return found[-1] if found else None

    def space_needed(self):
        """Bytes the set-up needs free in the cache (0 when ready)."""
        if self.ready():
            return 0
        return INSTALL_SPACE + (BUILD_SPACE if self.kept_wheel() is None
                                else 0)

    def preflight(self, environ):
        """Fails early, before any long step, when the set-up cannot work."""
        if not self.ready() and self.kept_wheel() is None:
            missing_compiler(environ)

    def create(self):
        """A new, empty environment (whatever was there is replaced)."""
        self.cache.make(self.cache.server, self.cache.logs)
        shutil.rmtree(self.cache.venv, ignore_errors=True)
        venv.EnvBuilder(with_pip=True, clear=True).create(self.cache.venv)

    def install(self, progress, environ):
        """Builds the wheel unless kept, installs it with the server's
        dependencies into the environment `create` made, and marks it
        ready. The caller holds the cache's lock."""
        environ = dict(environ)
        wheel = self.kept_wheel()
        if wheel is None:
            missing_compiler(environ)
            wheel = self._build(progress, environ)
        with progress.step("installing the server into its own "
                           "environment", "under a minute"):
            self._pip(["install", "--disable-pip-version-check",
                       f"{wheel}[server]"], environ, "install.log",
                      "installing the server")
            self._pip_python(["-c", "import llama_cpp.server.app, uvicorn"],
                             environ, "install.log", "checking the server")
        temp = self._marker.with_suffix(".tmp")
        temp.write_text(LLAMA_VERSION + "\n")
        publish(temp, self._marker)

    def _build(self, progress, environ):
        self.cache.make(self.cache.wheels)
        scratch = self.cache.server / "build"
        shutil.rmtree(scratch, ignore_errors=True)
        scratch.mkdir()
        env = dict(environ)
        env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", str(os.cpu_count() or 1))
        env["TMPDIR"] = str(scratch)  # the build files go where we checked
        try:
            with progress.step(
                    f"building the server (llama-cpp-python {LLAMA_VERSION},"
                    f" compiled for this processor; once only)",
                    "6 to 20 minutes on 2 cores") as step:
                # -v: the compiler's "[done/total]" lines reach the log.
                self._pip(["wheel", "-v", "--no-deps",
                           "--disable-pip-version-check",
                           "-w", str(scratch / "out"),
                           f"llama-cpp-python=={LLAMA_VERSION}"],
                          env, "build.log", "building the server", step)
            built = sorted((scratch / "out").glob("llama_cpp_python-*.whl"))
            if not built:
                raise LocalError("building the server made no wheel; see "
                                 f"{self.cache.logs / 'build.log'}")
            kept = self.cache.wheels / built[0].name
            publish(built[0], kept)
            return kept
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def _pip(self, args, env, log, what, step=None):
        self._pip_python(["-m", "pip", *args], env, log, what, step)

    def _pip_python(self, args, env, log, what, step=None):
        """Runs the environment's Python into a log; with a `step`, shows
        the build's progress read from the log each second."""
        log_path = self.cache.logs / log
        tick = None if step is None else (
            lambda: step.update(build_progress(log_path)))
        with open(log_path, "ab") as f:
            start = f.seek(0, os.SEEK_END)
            status = run_tied([str(self.python), *args], f, env, tick)
        if status != 0:
            raise LocalError(f"{what} failed "
                             f"({telling_line(log_path, start)}); the whole "
                             f"log is {log_path}")


def missing_compiler(environ):
    """Raises LocalError unless a C and a C++ compiler can be found."""
    for language, (variable, names) in COMPILERS.items():
        given = environ.get(variable)
        candidates = [given.split()[0]] if given else names
        if not any(shutil.which(c, path=environ.get("PATH")) for c in
                   candidates):
            raise LocalError(
                f"building the local server needs a {language} compiler and "
                f"none was found (looked for {', '.join(candidates)}); "
                f"install one (Debian/Ubuntu: apt-get install build-essential;"
                f" macOS: xcode-select --install) or set {variable}")


def build_progress(log_path):
    """"[done/total]" of the compiler steps the log shows last, or ""."""
    try:
        with open(log_path, "rb") as f:
            f.seek(max(0, f.seek(0, os.SEEK_END) - 65536))
            tail = f.read().decode("utf-8", "replace")
    except OSError:
        return ""
    found = STEP_LINE.findall(tail)
    return f"[{found[-1][0]}/{found[-1][1]} compiled]" if found else ""


def describe(env):
    """One line on the state of the server environment."""
    if env.ready():
        return (f"server: ready (llama-cpp-python {LLAMA_VERSION}) in "
                f"{env.cache.venv}")
    wheel = env.kept_wheel()
    if wheel is not None:
        return f"server: not installed; the built wheel is kept ({wheel.name})"
    return "server: not built (the first run builds it: 6 to 20 minutes)"

