"""The server executable: llama.cpp's own `llama-server`, built here once
for this machine's processor.

No prebuilt llama.cpp on PyPI serves here, so it is compiled from the
llama-cpp-python source package (MIT), which carries the whole llama.cpp
tree: fetched by pip, checked against its pinned sha256, configured
offline with CMake and Ninja from PyPI, and only the `llama-server`
target built. Just the executable is kept (with a stamp of its sha256);
the source, the tools and the build files go once it is built. The
user's own Python environment is never touched.
"""

import contextlib
import hashlib
import os
import re
import shutil
import sys
import tarfile
from pathlib import Path

from factbrief.display import GB

from .cache import (CHUNK, LocalError, open_private, os_errors,
                    publish, read_stamp, remove_quietly, sha256_of,
                    write_stamp)
from .tied import run_tied, telling_line

LLAMA_VERSION = "0.3.36"
SDIST = f"llama_cpp_python-{LLAMA_VERSION}.tar.gz"
SDIST_SHA256 = ("832db0699007f1be95a7e41ef12e88926b02ba836461e36a36372db2"
                "760c1a2e")
VENDORED = f"llama_cpp_python-{LLAMA_VERSION}/vendor/llama.cpp/"
NOT_BUILT = (VENDORED + "models/", VENDORED + "docs/")  # 117 MB unused
# The UI options keep configure from downloading the web UI; the server
# is built without it, and without TLS (it serves 127.0.0.1 only).
CMAKE_OPTIONS = ("-DCMAKE_BUILD_TYPE=Release", "-DLLAMA_BUILD_SERVER=ON",
                 "-DLLAMA_USE_PREBUILT_UI=OFF", "-DLLAMA_BUILD_UI=OFF",
                 "-DLLAMA_OPENSSL=OFF", "-DLLAMA_BUILD_TESTS=OFF",
                 "-DLLAMA_BUILD_EXAMPLES=OFF", "-DGGML_NATIVE=ON",
                 "-DBUILD_SHARED_LIBS=OFF")
# Measured on 2 cores: the source package 77 MB, unpacked 100 MB, the
# build files 85 MB, CMake and Ninja 0.1 GB, the server 15 MB.
BUILD_SPACE = int(0.6 * GB)
STEP_LINE = re.compile(r"\[(\d+)/(\d+)\] ")
COMPILERS = {"C": ("CC", ("cc", "gcc", "clang")),
             "C++": ("CXX", ("c++", "g++", "clang++"))}
BUILD_USUALLY = "5 to 30 minutes on 2 cores"


class Tools:
    """A virtual environment with pip, and CMake and Ninja for a build,
    under the cache for the length of a set-up."""

    def __init__(self, cache):
        self.folder = cache.tools
        self.bin = self.folder / "bin"
        self.python = self.bin / "python"
        self.log = cache.logs / "setup.log"

    def run(self, argv, what, env=None, tick=None, cwd=None):
        """Runs argv into the set-up log; LocalError if it fails."""
        with open_private(self.log) as f:
            start = f.seek(0, os.SEEK_END)
            status = run_tied([str(a) for a in argv], f, env, tick, cwd)
        if status != 0:
            raise LocalError(f"{what} failed "
                             f"({telling_line(self.log, start)}); the whole "
                             f"log is {self.log}")

    def pip(self, *args, what, env=None):
        self.run([self.python, "-m", "pip", "--disable-pip-version-check",
                  *args], what, env)


@contextlib.contextmanager
def set_up_tools(cache, progress, build):
    """Tools for the set-up (with CMake and Ninja when `build`); removed
    afterwards, whatever the way out."""
    cache.make(cache.logs)
    tools = Tools(cache)
    shutil.rmtree(tools.folder, ignore_errors=True)
    what = "pip, CMake and Ninja" if build else "pip"
    try:
        with progress.step(f"preparing the set-up tools ({what})",
                           "under a minute"):
            tools.run([sys.executable, "-I", "-m", "venv", tools.folder],
                      "making the set-up environment")
            if build:
                tools.pip("install", "-q", "--only-binary=:all:", "cmake",
                          "ninja", what="installing CMake and Ninja")
        yield tools
    finally:
        shutil.rmtree(tools.folder, ignore_errors=True)


class ServerBuild:
    def __init__(self, cache):
        self.cache = cache
        self.executable = cache.server / "llama-server"

    def ready(self):
        """Whether the server is built, whole, and of this version."""
        stamp = read_stamp(self.executable)
        if not stamp or stamp.get("version") != LLAMA_VERSION:
            return False
        if stamp["current"]:
            return True
        try:  # copied or touched since: the same program if its hash is
            return sha256_of(self.executable) == stamp.get("sha256")
        except OSError:
            return False

    def space_needed(self):
        """Bytes the build needs free in the cache (0 when ready)."""
        return 0 if self.ready() else BUILD_SPACE

    def preflight(self, environ):
        """Fails early, before any long step, when a build cannot work."""
        if not self.ready():
            missing_compiler(environ)

    def build(self, progress, environ, tools):
        """Builds and keeps the server. The caller holds the cache's lock
        and made `tools` with CMake and Ninja."""
        missing_compiler(environ)
        # What factbrief kept before: llama-cpp-python's environment.
        for old in ("venv", "wheels"):
            shutil.rmtree(self.cache.server / old, ignore_errors=True)
        scratch = self.cache.server / "build"
        shutil.rmtree(scratch, ignore_errors=True)
        self.cache.make(self.cache.server, scratch)
        try:
            with progress.step(f"fetching the server's source "
                               f"(llama-cpp-python {LLAMA_VERSION}, 77 MB "
                               f"from PyPI)", "under a minute"):
                source = _fetch_source(tools, scratch)
            with progress.step(
                    f"building the server (llama.cpp's llama-server from "
                    f"llama-cpp-python {LLAMA_VERSION}, compiled for this "
                    f"processor; once only)", BUILD_USUALLY) as step:
                built = _compile(tools, source, scratch / "out", environ,
                                 lambda: step.update(
                                     build_progress(tools.log)))
            self.keep(built)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)

    def keep(self, built):
        """Copies the executable `built` into the cache, and stamps it."""
        self.cache.make(self.cache.server)
        temp = Path(f"{self.executable}.tmp-{os.getpid()}")
        remove_quietly(temp)
        try:
            sha = _copy_private(built, temp, 0o700)
            publish(temp, self.executable)
        finally:
            remove_quietly(temp)
        write_stamp(self.executable, sha, version=LLAMA_VERSION)


def _copy_private(source, target, mode):
    """Copies `source` to a new file `target` of `mode`; its sha256."""
    digest = hashlib.sha256()
    fd = os.open(target, os.O_WRONLY | os.O_CREAT | os.O_EXCL
                 | os.O_NOFOLLOW, mode)
    with open(source, "rb") as src, os.fdopen(fd, "wb") as out:
        while chunk := src.read(CHUNK):
            digest.update(chunk)
            out.write(chunk)
        out.flush()
        os.fsync(out.fileno())
    return digest.hexdigest()


def _fetch_source(tools, scratch):
    """The vendored llama.cpp tree of the pinned source package, checked
    and unpacked under `scratch`; its path."""
    downloads = scratch / "download"
    tools.pip("download", "-q", "--no-deps",
              "--no-binary=llama-cpp-python", "-d", downloads,
              f"llama-cpp-python=={LLAMA_VERSION}",
              what="downloading the server's source from PyPI")
    sdist = downloads / SDIST
    with os_errors("checking the server's source"):
        found = sha256_of(sdist) if sdist.exists() else "no file"
    if found != SDIST_SHA256:
        raise LocalError(
            f"the server's source {SDIST} does not match its pinned sha256 "
            f"({found[:16]}…); nothing was built; run again, and report it "
            f"if it happens twice")
    target = scratch / "src"
    with os_errors("unpacking the server's source"), \
            tarfile.open(sdist) as tar:
        members = [m for m in tar.getmembers()
                   if m.name.startswith(VENDORED)
                   and not m.name.startswith(NOT_BUILT)]
        for m in members:
            if not (m.isfile() or m.isdir()) or ".." in m.name.split("/"):
                raise LocalError(f"the server's source holds an unexpected "
                                 f"entry {m.name!r}; nothing was built")
        kw = {"filter": "data"} if hasattr(tarfile, "data_filter") else {}
        tar.extractall(target, members=members, **kw)
    remove_quietly(sdist)
    return target / VENDORED


def _compile(tools, source, out, environ, tick):
    """Configures and builds the llama-server target; the executable."""
    env = dict(environ)
    env["PATH"] = os.pathsep.join([str(tools.bin), environ.get("PATH", "")])
    jobs = str(len(os.sched_getaffinity(0)) if hasattr(
        os, "sched_getaffinity") else os.cpu_count() or 1)
    tools.run([tools.bin / "cmake", "-S", source, "-B", out, "-G", "Ninja",
               f"-DCMAKE_MAKE_PROGRAM={tools.bin / 'ninja'}",
               *CMAKE_OPTIONS], "configuring the server's build", env)
    tools.run([tools.bin / "cmake", "--build", out, "--target",
               "llama-server", "-j", jobs], "building the server", env, tick)
    built = out / "bin" / "llama-server"
    if not built.is_file():
        raise LocalError(f"building the server made no llama-server; see "
                         f"{tools.log}")
    return built


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


def describe(build):
    """One line on the state of the server."""
    if build.ready():
        return (f"server: ready (llama-server from llama-cpp-python "
                f"{LLAMA_VERSION}) at {build.executable}")
    return (f"server: not built (the first run builds it: "
            f"{BUILD_USUALLY})")
