"""The README's main job: summarise a text and print the result record.

    python examples/demo.py [--demo] [FILE]   (default: examples/sample.txt)

With OPENAI_BASE_URL, OPENAI_API_KEY and FACTBRIEF_MODEL all set, the
text goes to that service. Otherwise a language model runs on this machine
(set up in the cache folder on the first run: a server built from PyPI and
a 1.1 GB model; FACTBRIEF_MODEL_FILE names a GGUF file to serve instead).
With --demo the answer comes from the local stand-in, which is not a
language model. The module itself reads no environment variable: the
settings are passed to AISummary here.
"""

import json
import os
import sys
from pathlib import Path

from factbrief.factbrief import AISummary
from factbrief.local import LocalError, Progress, local_service
from factbrief.standin import StandIn

SETTINGS = ("OPENAI_BASE_URL", "OPENAI_API_KEY", "FACTBRIEF_MODEL")


def summarise(base_url, api_key, model, text):
    record = AISummary(base_url, api_key, model).extract(text)
    print(json.dumps(record, ensure_ascii=False, indent=2))
    return 0 if record["status"] == "ok" else 1


def main(argv):
    standin = "--demo" in argv
    rest = [a for a in argv if a != "--demo"]
    if len(rest) > 1 or rest[:1] in (["-h"], ["--help"]):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    path = Path(rest[0]) if rest else Path(__file__).with_name("sample.txt")
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as e:
        print(f"demo: cannot read {path}: {getattr(e, 'strerror', 0) or e}",
              file=sys.stderr)
        return 2
    base_url, api_key, model = (os.environ.get(n) for n in SETTINGS)
    if base_url and api_key and model and not standin:
        print(f"demo: asking {model} at {base_url}", file=sys.stderr)
        return summarise(base_url, api_key, model, text)
    if standin:
        with StandIn() as server:
            print(f"demo: --demo: the answer comes from the local stand-in "
                  f"at {server.base_url}, which is not a language model",
                  file=sys.stderr)
            return summarise(server.base_url, "stand-in", "stand-in", text)
    given = [n for n in SETTINGS if os.environ.get(n)]
    if given:
        unset = [n for n in SETTINGS if n not in given]
        print(f"demo: {', '.join(given)} set but not {', '.join(unset)}: "
              f"using the local model (set all three to use your service)",
              file=sys.stderr)
    try:
        with local_service(Progress(sys.stderr),
                           os.environ.get("FACTBRIEF_MODEL_FILE")) as served:
            print(f"demo: asking the local model {served.model}",
                  file=sys.stderr)
            return summarise(served.base_url, served.api_key, served.model,
                             text)
    except LocalError as e:
        print(f"demo: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("demo: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
