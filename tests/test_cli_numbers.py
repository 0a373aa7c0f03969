"""The numbers check on the command line: every "ok" record names the
numbers its answer states that its text, as read, does not support; a
run of several says how many; --strict fails on them; -f text shows
them after the answer."""

import pytest

import factbrief
import factbrief.standin as standin_module
from support.cli import settings_for

TEXTS = {"a.txt": "长江全长约6300公里，三峡大坝于2006年完工。",
         "b.txt": "The river is 3—5 km wide here.",  # an em dash: 35 sent
         "c.txt": "黄河全长5464公里。"}
ANSWERS = {"长江": "长江全长6400公里，2006年完工。",   # 6400: not the text's
           "The": "It is 35 km wide.",                # 35: only once cleaned
           "黄河": "黄河长5464公里。"}                  # all supported


@pytest.fixture
def answering(monkeypatch, tmp_path):
    """The stand-in answers each text with its line of ANSWERS."""
    def answer(message):
        text = message.rpartition("\u3002")[2] or message
        for start, reply in ANSWERS.items():
            if start in message.rpartition("要求")[2] or start in text:
                return reply
        return "no answer"
    monkeypatch.setattr(standin_module, "answer_for", answer)
    for name, text in TEXTS.items():
        (tmp_path / name).write_text(text, encoding="utf-8")
    return list(TEXTS)


def test_each_record_names_its_unsupported_numbers(cli, standin, answering):
    result = cli(["extract", *answering], settings_for(standin.base_url))
    assert result.returncode == 0, result.stderr
    found = {r["file"]: r["unsupported_numbers"] for r in result.records}
    # Checked against the text as read: 3—5 holds no 35, although the
    # cleaned text the service saw does.
    assert found == {"a.txt": ["6400"], "b.txt": ["35"], "c.txt": []}
    assert {r["status"] for r in result.records} == {"ok"}
    assert result.lines[-1] == ('factbrief: 2 of 3 answers state numbers '
                                'their text does not support '
                                '("unsupported_numbers" in their records)')
    strict = cli(["extract", "--strict", *answering],
                 settings_for(standin.base_url))
    assert strict.returncode == 1
    assert {r["status"] for r in strict.records} == {"ok"}
    alone = cli(["extract", "--strict", "c.txt"],
                settings_for(standin.base_url))
    assert alone.returncode == 0 and alone.lines == []


def test_text_output_names_them_after_the_answer(cli, standin, answering):
    result = cli(["title", "-p", "Give a title", "-f", "text", "a.txt"],
                 settings_for(standin.base_url))
    assert result.stdout.decode().splitlines() == [
        ANSWERS["长江"], "[numbers not supported by the text: 6400]"]


def test_the_api_checks_only_when_asked(client_env, standin, answering,
                                        tmp_path):
    texts = [TEXTS["a.txt"]]
    plain = list(factbrief.extract_many(texts, standin.base_url, "k", "m"))
    checked = list(factbrief.extract_many(texts, standin.base_url, "k", "m",
                                          check_numbers=True))
    assert list(plain[0]) == ["summary", "content", "status"]
    assert checked[0]["unsupported_numbers"] == ["6400"]
