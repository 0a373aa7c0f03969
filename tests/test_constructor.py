"""AISummary(base_url, api_key, model_id=''): three plain assignments, in
order, of the very objects given; nothing checked, nothing fetched."""

import traceback

import pytest

import factbrief.factbrief as fb
from support.lines import METHODS, SOURCE_FILE

A = fb.AISummary
INIT = METHODS["__init__"]
SETTINGS = {"base_url": "http://h/v1", "api_key": "key", "model_id": "m"}
pytestmark = pytest.mark.usefixtures("plain_entries")


@pytest.mark.parametrize("make, model_id", [
    (lambda: A("http://h/v1", "key"), ""),
    (lambda: A("http://h/v1", "key", "m"), "m"),
    (lambda: A(base_url="http://h/v1", api_key="key", model_id="m"), "m"),
    (lambda: A(model_id="m", api_key="key", base_url="http://h/v1"), "m"),
    (lambda: A("http://h/v1", model_id="m", api_key="key"), "m"),
    (lambda: A("http://h/v1", api_key="key", model_id="m"), "m"),
    (lambda: A("http://h/v1", "key", model_id="m"), "m"),
])
def test_positional_and_keyword_give_the_same_object(make, model_id):
    obj = make()
    # Insertion order of the instance dict is the order of assignment.
    assert list(vars(obj).items()) == list(
        {**SETTINGS, "model_id": model_id}.items())


def test_values_are_stored_as_given():
    values = [None, 1, 2.5]
    obj = A(*values)
    assert [obj.base_url, obj.api_key, obj.model_id] == values
    given = [object(), object(), object()]
    obj = A(*given)
    assert all(getattr(obj, name) is value
               for name, value in zip(SETTINGS, given))


def test_reinitialising_overwrites_in_order():
    obj = A("a", "b")
    obj.extra = 1
    assert A.__init__(obj, "c", "d", "e") is None
    assert vars(obj) == {"base_url": "c", "api_key": "d", "model_id": "e",
                         "extra": 1}


def test_binding_error_sets_nothing():
    obj = A.__new__(A)
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        A.__init__(obj, "u", "k", bogus=1)
    assert vars(obj) == {}


class Recording(A):
    def __init__(self, *args, fail_at=None, **kwargs):
        self.__dict__["log"] = []
        self.__dict__["fail_at"] = fail_at
        super().__init__(*args, **kwargs)

    def __setattr__(self, name, value):
        self.log.append(name)
        if len(self.log) == self.fail_at:
            raise self.error
        super().__setattr__(name, value)


def test_subclass_sees_the_assignments_in_order():
    obj = Recording(model_id="m", api_key="k", base_url="u")
    assert obj.log == ["base_url", "api_key", "model_id"]
    assert (obj.base_url, obj.api_key, obj.model_id) == ("u", "k", "m")


@pytest.mark.parametrize("fail_at, kept", [
    (1, []), (2, ["base_url"]), (3, ["base_url", "api_key"]),
])
def test_failing_assignment_stops_at_its_line(fail_at, kept):
    error = LookupError("refused")
    Recording.error = error
    obj = Recording.__new__(Recording)
    with pytest.raises(LookupError) as info:
        Recording.__init__(obj, "u", "k", "m", fail_at=fail_at)
    assert info.value is error
    # The subclass's own frame is innermost; ours sits right above it.
    entries = [(f.filename, f.name, f.lineno)
               for f in traceback.extract_tb(error.__traceback__)]
    # The n-th assignment is the n-th line of the body.
    assert entries[-2] == (SOURCE_FILE, INIT.traceback_name,
                           INIT.def_line + fail_at)
    assert entries[-1][1] == "__setattr__"
    assert [n for n in vars(obj) if n not in ("log", "fail_at")] == kept
    assert obj.log == (["base_url", "api_key", "model_id"][:fail_at])


def test_construction_imports_and_connects_nothing(run_json):
    events = run_json("""
        import json, sys
        import factbrief.factbrief as fb
        seen = []
        sys.addaudithook(lambda event, args: seen.append(event))
        fb.AISummary("http://127.0.0.1:9/v1", "key", "model")
        fb.AISummary(None, None)
        made = list(seen)
        import colorsys  # shows that the hook sees an import
        print(json.dumps([made, "import" in seen]))
    """)
    assert events == [[], True]
