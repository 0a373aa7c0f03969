"""AISummary as a plain Python class: what a caller would write instead of
the extension module. Same calls on `re`, on the client class named by the
module global `OpenAI` and on `traceback`, same prompt texts, same records;
the benchmarks time the two side by side."""

import re
import traceback

from openai import OpenAI

# Punctuation goes, a number's marks stay: . , : / - ^ ~ ～ ± × − – between
# digits, % or ％ after a digit, - or − in an exponent (1e-5), - or −
# before a digit with no word character before it (Han and kana excepted:
# Chinese and Japanese put no space before one).
PATTERN = (r'[^\w\s](?!(?<=\d[-.,:/^~\u00b1\u00d7\u2212\u2013\uff5e])\d'
           r'|(?<=\d[%\uff05])|(?<=\d[eE][-\u2212])\d'
           r'|(?<=[-\u2212])(?<![^\W\u3040-\u30ff\u31f0-\u31ff'
           r'\u3400-\u9fff\uf900-\ufaff\U0001aff0-\U0001b16f'
           r'\U00020000-\U0003ffff][-\u2212])\d)')


class AISummary(object):
    def __init__(self, base_url, api_key, model_id=''):
        self.base_url = base_url
        self.api_key = api_key
        self.model_id = model_id

    def extract(self, content, prompt='', length=200):
        try:
            pattern = re.compile(PATTERN)
            content = re.sub(pattern, '', content)
            # !s: str(), then format() only for a str subclass, as the
            # module builds its text.
            messages = (f"作为一个事实信息核查员，"
                        f"请从如下内容中抽取出事实性信息，"
                        f"并根据事实信息总结出摘要, "
                        f"要求字数在{length!s}字左右。要求: "
                        f"{prompt!s}。" + content)
            client = OpenAI(base_url=self.base_url, api_key=self.api_key)
            response = client.chat.completions.create(
                model=self.model_id,
                messages=[{"role": "user", "content": messages}],
                stream=False)
            summary = response.choices[0].message.content
            return {"summary": summary, "content": content, "status": "ok"}
        except Exception:
            traceback.print_exc()
            return {"summary": "", "content": "", "status": "error"}

    def refined_title(self, content, prompt='', length=200):
        try:
            pattern = re.compile(PATTERN)
            content = re.sub(pattern, '', content)
            messages = prompt + "。" + content
            client = OpenAI(base_url=self.base_url, api_key=self.api_key)
            response = client.chat.completions.create(
                model=self.model_id,
                messages=[{"role": "user", "content": messages}],
                stream=False)
            title = response.choices[0].message.content
            return {"title": title, "content": content, "status": "ok"}
        except Exception:
            traceback.print_exc()
            return {"title": "", "content": "", "status": "error"}
