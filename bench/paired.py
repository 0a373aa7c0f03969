"""Paired timings: ours, plain Python and the floor measured in turns in one
process, round after round, so that a change of load on a shared machine
hits all three alike. Each round gives a ratio; the median and quartiles
of the ratios are reported. pyperf's medians come from runs made one
after another, minutes apart, and a busy machine moves them more than the
differences measured here.

    python bench/paired.py [--rounds N] [--output FILE]
"""

import argparse
import contextlib
import json
import statistics
import sys
from time import perf_counter

import common
from cases import cases

CHUNK_SECONDS = 0.005
ROUNDS = 100


def calibrate(func, args):
    """Loops for one chunk of about CHUNK_SECONDS."""
    loops = 1
    while True:
        if func(loops, *args) >= CHUNK_SECONDS or loops >= 1 << 20:
            return loops
        loops *= 2


def quartiles(values):
    q = statistics.quantiles(values, n=4)
    return round(q[0], 4), round(statistics.median(values), 4), round(q[2], 4)


def pair_row(row, members, rounds):
    """members: {impl: (func, args)}. Per-round ratios ours / plain and
    ours / floor, the order of the three reversed every other round."""
    loops = {impl: calibrate(f, a) for impl, (f, a) in members.items()}
    loops = dict.fromkeys(loops, min(loops.values()))
    order = list(members)
    per_call = {impl: [] for impl in members}
    for i in range(rounds):
        for impl in (order if i % 2 == 0 else order[::-1]):
            func, args = members[impl]
            per_call[impl].append(func(loops[impl], *args) / loops[impl])
    out = {"row": row, "rounds": rounds, "loops": loops[order[0]]}
    for other in ("plain", "floor"):
        if other in members:
            ratios = [o / p for o, p in zip(per_call["ours"],
                                            per_call[other])]
            out[f"ours_over_{other}"] = quartiles(ratios)
    return out


def rows(service_url):
    grouped = {}
    for name, func, args in cases(service_url):
        row, impl = name.split("/")
        grouped.setdefault(row, {})[impl] = (func, args)
    floor = grouped["extract_short"].get("floor")
    if floor and "floor" not in grouped.get("keywords", {}):
        grouped["keywords"]["floor"] = floor
    return grouped


def run_all(rounds=ROUNDS, output=None, service_url=None):
    """Every row with ours and plain, in this process; the rows whose
    calls take tens of milliseconds get a quarter of the rounds."""
    common.quiet_client_environment()
    results = []
    with contextlib.ExitStack() as stack:
        if service_url is None:
            service_url = stack.enter_context(
                common.LocalService()).base_url
        for row, members in rows(service_url).items():
            slow = row == "end_to_end" or row.endswith("_1m")
            n = max(8, rounds // 4) if slow else rounds
            with common.null_stderr():
                result = pair_row(row, members, n)
            results.append(result)
            q = result["ours_over_plain"]
            print(f"paired {row:22} ours/plain median {q[1]:.3f} "
                  f"(quartiles {q[0]:.3f}-{q[2]:.3f}, {n} rounds)",
                  flush=True)
    if output:
        with open(output, "w") as f:
            json.dump(results, f, indent=1)
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=ROUNDS)
    parser.add_argument("--output",
                        default=str(common.RESULTS_DIR / "paired.json"))
    args = parser.parse_args()
    common.RESULTS_DIR.mkdir(exist_ok=True)
    start = perf_counter()
    run_all(args.rounds, args.output)
    print(f"{perf_counter() - start:.0f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
