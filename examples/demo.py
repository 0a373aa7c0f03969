"""The README's main job: summarise a text and print the result record.

    python examples/demo.py [FILE]        (default: examples/sample.txt)

With OPENAI_BASE_URL, OPENAI_API_KEY and FACTBRIEF_MODEL all set, the
text goes to that service. Otherwise a local stand-in service is started
on 127.0.0.1 and used instead; it is not a language model, and this script
says so on standard error. The module itself reads no environment
variable: the settings are passed to AISummary here.
"""

import json
import os
import sys
from pathlib import Path

from factbrief.factbrief import AISummary
from factbrief.standin import StandIn

SETTINGS = ("OPENAI_BASE_URL", "OPENAI_API_KEY", "FACTBRIEF_MODEL")


def summarise(base_url, api_key, model, text):
    record = AISummary(base_url, api_key, model).extract(text)
    print(json.dumps(record, ensure_ascii=False, indent=2))
    return 0 if record["status"] == "ok" else 1


def main(argv):
    if len(argv) > 1 or argv[:1] in (["-h"], ["--help"]):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path = Path(argv[0]) if argv else Path(__file__).with_name("sample.txt")
    text = path.read_text(encoding="utf-8")
    base_url, api_key, model = (os.environ.get(n) for n in SETTINGS)
    if base_url and api_key and model:
        print(f"demo: asking {model} at {base_url}", file=sys.stderr)
        return summarise(base_url, api_key, model, text)
    unset = [n for n in SETTINGS if not os.environ.get(n)]
    with StandIn() as server:
        print(f"demo: {', '.join(unset)} not set, so the answer comes from "
              f"the local stand-in at {server.base_url}, which is not a "
              f"language model. Set all of {', '.join(SETTINGS)} to use a "
              f"real service.", file=sys.stderr)
        return summarise(server.base_url, "stand-in", "stand-in", text)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
