"""The methods' source lines stand in three places: the listing atop
native/module/factbrief.cpp (what a reader reads a traceback line
against), the method table and the step enum of native/module/
ai_summary.cpp (what the module reports), and support.lines (what the
tests expect). Read from the sources, the three must agree."""

import re
from pathlib import Path

import pytest

from support.lines import METHODS, STEP_OFFSETS

MODULE = Path(__file__).resolve().parents[1] / "native" / "module"

# The step enum's members by the names support.lines gives them, with a
# piece of the statement as the listing writes it out for extract and as
# the enum's comment gives it.
STEPS = {
    "kCompile": ("compile", "pattern = re.compile(", "re.compile("),
    "kClean": ("sub", "re.sub(pattern, '', content)", "re.sub("),
    "kPrompt": ("text", "messages = LEAD_IN", "messages = "),
    "kClient": ("client", "client = OpenAI(", "OpenAI("),
    "kCreate": ("create", "response = client.chat.completions.create(",
                "response = client.chat.completions.create("),
    "kMessage": ("message", 'messages=[{"role": "user",',
                 'messages=[{"role": "user",'),
    "kAnswer": ("answer", "summary = response.choices[0].message.content",
                "= response.choices[0].message.content"),
    "kReturn": ("record", '"status": "ok"}', "return {answer_key: answer"),
    "kPrintExc": ("print", "traceback.print_exc()", "traceback.print_exc()"),
    "kFailure": ("failure", '"status": "error"}', 'return {answer_key: ""'),
}


def listing():
    """{line: text} of the listing's numbered lines, each with its
    continuation lines joined on, and {first line: (last line, text)} of
    its ranges ("32-45  (as extract, ...)")."""
    lines, ranges, last = {}, {}, None
    for row in (MODULE / "factbrief.cpp").read_text("utf-8").splitlines():
        if not row.startswith("//"):
            break
        numbered = re.match(r"//\s+(\d+)(?:-(\d+))?\s{2,}(\S.*)$", row)
        if numbered:
            first, end, text = numbered.groups()
            last = int(first)
            if end:
                ranges[last] = (int(end), text)
            else:
                lines[last] = text
        elif last in lines and re.match(r"//\s{6,}\S", row):
            lines[last] += " " + row[2:].strip()
    return lines, ranges


def method_table():
    """{name: def line} of the C++ table kMethods."""
    source = (MODULE / "ai_summary.cpp").read_text("utf-8")
    table = re.search(r"const MethodSpec kMethods\[kMethodCount\] = \{(.*?)"
                      r"\n\};", source, re.S).group(1)
    return {name: int(line) for name, line in
            re.findall(r'\{"(\w+)", (\d+),', table)}


def step_enum():
    """{member: (offset, comment)} of the C++ enum ServiceStep."""
    source = (MODULE / "ai_summary.cpp").read_text("utf-8")
    body = re.search(r"enum ServiceStep : int \{(.*?)\};", source,
                     re.S).group(1)
    return {name: (int(offset), comment) for name, offset, comment in
            re.findall(r"(k\w+) = (\d+),\s*//\s*(.*)", body)}


def signature(method):
    """The `def` line the listing should show for a method."""
    required = method.params[:method.required]
    optional = [f"{p}={d!r}" for p, d in
                zip(method.params[method.required:], method.defaults)]
    return f"def {method.name}({', '.join([*required, *optional])}):"


def test_the_table_has_the_methods_and_lines_of_support_lines():
    assert method_table() == {name: m.def_line
                              for name, m in METHODS.items()}


def test_the_enum_has_the_offsets_of_support_lines():
    enum = step_enum()
    assert sorted(enum) == sorted(STEPS)
    assert {STEPS[k][0]: offset for k, (offset, _) in enum.items()} \
        == STEP_OFFSETS


@pytest.mark.parametrize("name", sorted(METHODS))
def test_the_listing_defines_each_method_on_its_line(name):
    lines, _ = listing()
    method = METHODS[name]
    assert lines[method.def_line] == signature(method)


def test_the_listing_has_init_assign_its_parameters_in_turn():
    lines, _ = listing()
    init = METHODS["__init__"]
    for n, param in enumerate(init.params[1:], start=1):
        assert lines[init.def_line + n] == f"self.{param} = {param}"


@pytest.mark.parametrize("member", sorted(STEPS))
def test_each_step_is_the_statement_on_its_line(member):
    """For extract, written out in the listing; the enum's comment names
    the same statement."""
    lines, _ = listing()
    offset, comment = step_enum()[member]
    _, written, commented = STEPS[member]
    assert written in lines[METHODS["extract"].def_line + offset]
    assert commented in comment


def test_the_listing_gives_refined_title_the_lines_of_extract():
    _, ranges = listing()
    extract, title = METHODS["extract"], METHODS["refined_title"]
    body = range(1, max(STEP_OFFSETS.values()) + 1)
    shift = title.def_line - extract.def_line
    [(first, (last, text))] = [
        (f, r) for f, r in ranges.items() if f > title.def_line]
    assert (first, last) == (title.def_line + body[0],
                             title.def_line + body[-1])
    assert f"as extract, {shift} lines further down" in text
    # extract's body, written out, ends before refined_title begins.
    assert extract.def_line + body[-1] < title.def_line


def test_the_class_statement_is_on_its_line():
    source = (MODULE / "factbrief.cpp").read_text("utf-8")
    line = int(re.search(r"constexpr int kClassLine = (\d+);",
                         source).group(1))
    lines, _ = listing()
    assert lines[line] == "class AISummary(object):"
    assert line < min(m.def_line for m in METHODS.values())
