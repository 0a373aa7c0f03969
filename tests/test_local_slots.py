"""How many requests the local server serves at once, and what a caller is
told of it: one by default whatever the core count (repeatable), more
when the slots or a run's --jobs ask; and the served model's sha256 when
its stamp vouches for it."""

import contextlib
import io
import os

import pytest

from factbrief.local import process, service
from factbrief.local.cache import Cache, LocalError, write_stamp
from factbrief.local.progress import Progress
from support import local


@pytest.mark.parametrize("cores", [1, 2, 8, 64, 256])
def test_one_slot_by_default_whatever_the_cores(cores):
    assert service.default_slots(cores) == 1


@pytest.mark.parametrize("cores,slots", [(1, 1), (7, 1), (8, 4), (64, 4)])
def test_batching_from_a_measured_core_count_on(cores, slots):
    assert service.default_slots(cores, batch_from=8) == slots


@pytest.mark.parametrize("environ,given,jobs,slots", [
    ({}, None, None, 1),
    ({"FACTBRIEF_LOCAL_SLOTS": ""}, None, None, 1),
    ({"FACTBRIEF_LOCAL_SLOTS": "3"}, None, None, 3),
    ({"FACTBRIEF_LOCAL_SLOTS": "3"}, 2, None, 2),  # --slots wins
    ({}, None, 4, 4),
    ({"FACTBRIEF_LOCAL_SLOTS": "6"}, None, 4, 6),  # never fewer than asked
    ({}, None, 1000, service.MAX_SLOTS),
])
def test_slots_wanted(environ, given, jobs, slots):
    assert service.slots_wanted(environ, given, jobs, cores=64) == slots


@pytest.mark.parametrize("text", ["0", "65", "four", "2.5"])
def test_a_bad_slot_count_in_the_environment(text):
    with pytest.raises(LocalError, match=rf"FACTBRIEF_LOCAL_SLOTS='{text}'"):
        service.slots_wanted({"FACTBRIEF_LOCAL_SLOTS": text}, jobs=4)


def test_cores_are_the_ones_this_process_may_use(monkeypatch):
    mine = len(os.sched_getaffinity(0))
    assert process.cpus() == mine
    # Before 3.13 there is no os.process_cpu_count: the affinity mask.
    monkeypatch.delattr(os, "process_cpu_count", raising=False)
    assert process.cpus() == mine
    monkeypatch.delattr(os, "sched_getaffinity")
    assert process.cpus() == (os.cpu_count() or 1)


def test_the_model_hash_only_while_its_stamp_fits(tmp_path):
    model = tmp_path / "m.gguf"
    model.write_bytes(b"GGUF one")
    assert service.known_sha256(model) is None  # never hashed
    write_stamp(model, "ab" * 32)
    assert service.known_sha256(model) == "ab" * 32
    model.write_bytes(b"GGUF and another")
    assert service.known_sha256(model) is None
    assert service.known_sha256(tmp_path / "missing.gguf") is None


@pytest.mark.parametrize("environ,jobs,repeatable", [
    ({}, None, True), ({}, 2, False),
    ({"FACTBRIEF_LOCAL_SLOTS": "2"}, None, False)])
def test_served_says_whether_it_is_repeatable(tmp_path, environ, jobs,
                                              repeatable):
    cache = Cache(tmp_path / "cache")
    local.install_fake(cache, tmp_path)
    model = tmp_path / "own.gguf"
    model.write_bytes(b"GGUF")
    write_stamp(model, "cd" * 32)
    quiet = Progress(io.StringIO())
    with service.local_service(quiet, str(model), cache, environ,
                               jobs) as served:
        assert (served.repeatable, served.model_sha256) == (
            repeatable, "cd" * 32)
        assert served.slots == (1 if repeatable else 2)
    assert "api_key" not in repr(served)


def test_a_reused_service_tells_its_own_slots(tmp_path):
    cache = Cache(tmp_path / "cache")
    local.install_fake(cache, tmp_path)
    model = tmp_path / "own.gguf"
    model.write_bytes(b"GGUF")
    quiet = Progress(io.StringIO())
    service.start(quiet, str(model), cache=cache, environ={}, slots=3)
    with contextlib.ExitStack() as stack:
        stack.callback(service.stop, cache)
        served = stack.enter_context(service.local_service(
            quiet, str(model), cache, {}, jobs=1))
        assert (served.slots, served.repeatable, served.model_sha256) == (
            3, False, None)
