"""The benchmark cases: timed loops of factbrief's AISummary and of the
plain-Python class of baseline.py, and the floor: the same calls on `re`,
the client and dicts and strings, made in a loop with no class at all.
Each timed function takes the loop count first and returns seconds."""

import re
import traceback
from time import perf_counter

from baseline import PATTERN
from common import (API_KEY, BASE_URL, IMPLEMENTATIONS, MODEL, STAND_IN,
                    TEXTS, null_stderr, real_openai, use_client)

LEAD_IN = ("作为一个事实信息核查员，"
           "请从如下内容中抽取出事实性信息，"
           "并根据事实信息总结出摘要, 要求字数在")
MIDDLE = "字左右。要求: "


# ---- timed loops ----

def time_init(loops, module):
    cls = module.AISummary
    t0 = perf_counter()
    for _ in range(loops):
        cls(BASE_URL, API_KEY, MODEL)
    return perf_counter() - t0


def _summariser(module, client_class, base_url=BASE_URL):
    use_client(module, client_class)
    return module.AISummary(base_url, API_KEY, MODEL)


def time_extract(loops, module, text, client_class=STAND_IN,
                 base_url=BASE_URL):
    ai = _summariser(module, client_class, base_url)
    t0 = perf_counter()
    for _ in range(loops):
        ai.extract(text)
    return perf_counter() - t0


def time_refined_title(loops, module, text):
    ai = _summariser(module, STAND_IN)
    t0 = perf_counter()
    for _ in range(loops):
        ai.refined_title(text, "Shorter:")
    return perf_counter() - t0


def time_keywords(loops, module, text):
    ai = _summariser(module, STAND_IN)
    extract = module.AISummary.extract
    t0 = perf_counter()
    for _ in range(loops):
        extract(self=ai, content=text, prompt="", length=200)
    return perf_counter() - t0


def time_binding_error(loops, module):
    ai = _summariser(module, STAND_IN)
    t0 = perf_counter()
    for _ in range(loops):
        try:
            ai.extract()
        except TypeError:
            pass
    return perf_counter() - t0


def time_caught_failure(loops, module):
    ai = _summariser(module, STAND_IN)
    with null_stderr():
        t0 = perf_counter()
        for _ in range(loops):
            ai.extract(None)
        return perf_counter() - t0


# ---- the floor: the same work with no class, no binding, no guard ----

class _Holder:
    pass


def floor_init(loops):
    t0 = perf_counter()
    for _ in range(loops):
        obj = _Holder()
        obj.base_url = BASE_URL
        obj.api_key = API_KEY
        obj.model_id = MODEL
    return perf_counter() - t0


def floor_extract(loops, text, client_class=STAND_IN,
                  base_url=BASE_URL):
    OpenAI = client_class
    api_key, model_id, prompt, length = API_KEY, MODEL, "", 200
    lead_in, middle = LEAD_IN, MIDDLE
    t0 = perf_counter()
    for _ in range(loops):
        pattern = re.compile(PATTERN)
        content = re.sub(pattern, '', text)
        messages = f"{lead_in}{length!s}{middle}{prompt!s}。" + content
        client = OpenAI(base_url=base_url, api_key=api_key)
        response = client.chat.completions.create(
            model=model_id, messages=[{"role": "user", "content": messages}],
            stream=False)
        summary = response.choices[0].message.content
        {"summary": summary, "content": content, "status": "ok"}
    return perf_counter() - t0


def floor_refined_title(loops, text):
    OpenAI = STAND_IN
    base_url, api_key, model_id, prompt = BASE_URL, API_KEY, MODEL, "Shorter:"
    t0 = perf_counter()
    for _ in range(loops):
        pattern = re.compile(PATTERN)
        content = re.sub(pattern, '', text)
        messages = prompt + "。" + content
        client = OpenAI(base_url=base_url, api_key=api_key)
        response = client.chat.completions.create(
            model=model_id, messages=[{"role": "user", "content": messages}],
            stream=False)
        title = response.choices[0].message.content
        {"title": title, "content": content, "status": "ok"}
    return perf_counter() - t0


def floor_caught_failure(loops):
    with null_stderr():
        t0 = perf_counter()
        for _ in range(loops):
            try:
                pattern = re.compile(PATTERN)
                re.sub(pattern, '', None)
            except Exception:
                traceback.print_exc()
                {"summary": "", "content": "", "status": "error"}
        return perf_counter() - t0


# ---- the cases ----

def cases(service_url):
    """(benchmark name, timed function, its arguments after the loop
    count). Names are ROW/ours, ROW/plain and ROW/floor; report.py orders
    its table by the rows as they come here."""
    out = []

    def both(row, func, *args):
        for impl, module in IMPLEMENTATIONS.items():
            out.append((f"{row}/{impl}", func, (module,) + args))

    both("init", time_init)
    out.append(("init/floor", floor_init, ()))
    for size, text in TEXTS.items():
        both(f"extract_{size}", time_extract, text)
        out.append((f"extract_{size}/floor", floor_extract, (text,)))
    for size, text in TEXTS.items():
        both(f"refined_title_{size}", time_refined_title, text)
        out.append((f"refined_title_{size}/floor", floor_refined_title,
                    (text,)))
    # The floor of this row is that of extract_short.
    both("keywords", time_keywords, TEXTS["short"])
    both("binding_error", time_binding_error)
    both("caught_failure", time_caught_failure)
    out.append(("caught_failure/floor", floor_caught_failure, ()))
    if service_url:
        real = real_openai()
        both("end_to_end", time_extract, TEXTS["short"], real, service_url)
        out.append(("end_to_end/floor", floor_extract,
                    (TEXTS["short"], real, service_url)))
    return out
