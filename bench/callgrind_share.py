"""Instructions per call, and the share of them executed in our own shared
object, counted by valgrind's callgrind (a count, so a busy machine does
not change it).

    python bench/callgrind_share.py [--select REGEX] [--output FILE]

One valgrind run of this script in driver mode: it imports everything,
warms each case up, then runs it inside sys.call_tracing(). Collection is
on only inside that function and dumped when it returns, so each case gets
its own profile, free of start-up and import. Self costs are summed per
object file straight from each dump (callgrind_annotate, which reads the
dumps kept with --keep, leaves the object off some of its lines). Our
functions are named from the unstripped twin of the installed object in
build/, when there is one. Results go to bench/results/callgrind.json.
"""

import argparse
import gc
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
TOGGLE = "sys_call_tracing"

# Calls per case under callgrind, by name prefix; enough that the case's
# own set-up (an instance, a client swap) is lost in the sum.
CALLS = (("end_to_end", 3), ("init", 5000), ("binding_error", 5000),
         ("caught_failure", 300), ("_1m", 1), ("_10k", 30), ("", 1000))


def calls_for(name):
    for key, calls in CALLS:
        if key in name:
            return calls
    raise AssertionError(name)


# ---- driver: runs under valgrind ----

def drive(select):
    import common
    from cases import cases
    common.quiet_client_environment()
    order = []
    # The service runs natively: valgrind does not follow child processes.
    with common.LocalService() as service:
        for name, func, args in cases(service.base_url):
            if select and not re.search(select, name):
                continue
            calls = calls_for(name)
            func(max(1, calls // 10), *args)  # warm: caches, lazy imports
            gc.collect()
            sys.call_tracing(func, (calls,) + tuple(args))
            order.append((name, calls))
    print(json.dumps(order))


# ---- parent: runs valgrind, reads the dumps ----

def self_costs(path):
    """(total, {(object, function): self instructions}, {((object,
    function), (callee object, callee function)): inclusive instructions})
    of one callgrind dump; the cost line after each `calls=` is the
    callee's inclusive cost, not the caller's own."""
    names = {"ob": {}, "fl": {}, "fn": {}}
    kind_of = {"ob": "ob", "cob": "ob", "fl": "fl", "fi": "fl", "fe": "fl",
               "cfi": "fl", "cfl": "fl", "fn": "fn", "cfn": "fn"}
    obj = fn = cobj = cfn = None
    in_call = False
    costs, calls, total = {}, {}, None
    with open(path) as f:
        for line in f:
            head = line[:1]
            if head.isdigit() or head in "+-*":
                parts = line.split()
                cost = int(parts[1]) if len(parts) > 1 else 0
                if in_call:
                    in_call = False
                    edge = ((obj, fn), (cobj or obj, cfn))
                    calls[edge] = calls.get(edge, 0) + cost
                    cobj = None
                else:
                    costs[(obj, fn)] = costs.get((obj, fn), 0) + cost
                continue
            key, eq, value = line.rstrip("\n").partition("=")
            if not eq:
                if line.startswith(("summary:", "totals:")):
                    total = int(line.split()[1])
                continue
            if key == "calls":
                in_call = True
                continue
            if key not in kind_of:
                continue
            table = names[kind_of[key]]
            value = value.strip()
            if value.startswith("("):
                ident, _, name = value.partition(")")
                name = name.strip()
                if name:
                    table[ident] = name
                else:
                    name = table[ident]
            else:
                name = value
            if key == "ob":
                obj = name
            elif key == "fn":
                fn = name
            elif key == "cob":
                cobj = name
            elif key == "cfn":
                cfn = name
    if total is None or sum(costs.values()) != total:
        raise RuntimeError(f"{path}: self costs do not add up to the total")
    return total, costs, calls


def symbol_table(stripped):
    """{address: name} from an unstripped twin of `stripped` in the build
    tree (same build id), so that our functions get names; else {}."""
    def build_id(path):
        out = subprocess.run(["readelf", "-n", path], capture_output=True,
                             text=True).stdout
        m = re.search(r"Build ID: ([0-9a-f]+)", out)
        return m and m.group(1)
    wanted = build_id(stripped)
    for twin in (BENCH_DIR.parent / "build").rglob(os.path.basename(stripped)):
        if wanted and build_id(str(twin)) == wanted:
            out = subprocess.run(["nm", "-C", "--defined-only", str(twin)],
                                 capture_output=True, text=True).stdout
            table = {}
            for line in out.splitlines():
                parts = line.split(" ", 2)
                if len(parts) == 3 and parts[1] in "tTwW":
                    table[int(parts[0], 16)] = parts[2]
            return table
    return {}


def function_name(fn, symbols):
    """`0x...` names (a stripped object) mapped to the symbol that holds
    the address."""
    if not fn.startswith("0x") or not symbols:
        return fn
    address = int(fn, 16)
    below = [a for a in symbols if a <= address]
    if not below:
        return fn
    start = max(below)
    offset = address - start
    return symbols[start] + (f"+{offset:#x}" if offset else "")


def short_name(name):
    """`ns::(anonymous namespace)::f(args) [clone .x]` as `ns::f`."""
    name = name.replace("(anonymous namespace)::", "")
    return name.split("(", 1)[0] if "(" in name else name


def our_object():
    out = subprocess.run(
        [sys.executable, "-c",
         "import factbrief.factbrief as f; print(f.__file__)"],
        check=True, capture_output=True, text=True, cwd=tempfile.gettempdir())
    return os.path.realpath(out.stdout.strip())


def compare_with_plain(results):
    """Per-call instructions that each ROW/ours case spends above (and
    below) ROW/plain, by function: where the difference goes."""
    by_name = {r["name"]: r for r in results}
    for r in results:
        plain = by_name.get(r["name"].replace("/ours", "/plain"))
        if r["name"].endswith("/ours") and plain:
            a, b = r["functions"], plain["functions"]
            diff = sorted(((round(a.get(k, 0) - b.get(k, 0), 1), k)
                           for k in set(a) | set(b)), reverse=True)
            r["more_than_plain"] = [d for d in diff[:15] if d[0] > 0]
            r["less_than_plain"] = [d for d in diff[::-1][:15] if d[0] < 0]
    for r in results:
        del r["functions"]


def measure(select, keep=None):
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind is not installed")
    ours = our_object()
    work = Path(keep or tempfile.mkdtemp(prefix="factbrief-callgrind-"))
    work.mkdir(parents=True, exist_ok=True)
    base = work / "callgrind.out"
    cmd = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={base}",
           "--collect-atstart=no", f"--toggle-collect={TOGGLE}",
           f"--dump-after={TOGGLE}", sys.executable, __file__, "--driver"]
    if select:
        cmd += ["--select", select]
    env = {**os.environ, "PYTHONHASHSEED": "0"}
    proc = subprocess.run(cmd, capture_output=True, text=True, env=env)
    if proc.returncode != 0:
        sys.stderr.write(proc.stderr[-4000:])
        raise SystemExit("the callgrind run failed")
    order = json.loads(proc.stdout.strip().splitlines()[-1])
    # Dumps are numbered in the order the cases ran: base.1, base.2, ...
    symbols = symbol_table(ours)
    results = []
    for i, (name, calls) in enumerate(order, start=1):
        total, costs, edges = self_costs(f"{base}.{i}")
        per_object, per_function, mine = {}, {}, []
        for (obj, fn), count in costs.items():
            short = os.path.basename(obj or "?")
            per_object[short] = per_object.get(short, 0) + count
            if obj and os.path.realpath(obj) == ours:
                fn = short_name(function_name(fn, symbols))
                mine.append((count, fn))
                short = "ours"
            per_function[f"{fn} [{short}]"] = count / calls
        # What our functions call outside our object, inclusive.
        outgoing = {}
        for ((obj, fn), (cobj, cfn)), count in edges.items():
            if (obj and os.path.realpath(obj) == ours and cobj
                    and os.path.realpath(cobj) != ours):
                key = f"{short_name(function_name(fn, symbols))} -> {cfn}"
                outgoing[key] = outgoing.get(key, 0) + count
        mine.sort(reverse=True)
        results.append({
            "name": name, "calls": calls,
            "instructions_per_call": round(total / calls),
            "ours_share": sum(c for c, _ in mine) / total,
            "objects": {o: round(c / calls, 1) for o, c in sorted(
                per_object.items(), key=lambda kv: -kv[1])},
            "our_functions": [(round(c / calls, 1), fn)
                              for c, fn in mine[:15]],
            "our_calls_out": sorted(
                ((round(c / calls, 1), k) for k, c in outgoing.items()),
                reverse=True)[:20],
            "functions": per_function,
        })
    compare_with_plain(results)
    if keep is None:
        shutil.rmtree(work)
    return {"valgrind": subprocess.run(
                ["valgrind", "--version"], capture_output=True,
                text=True).stdout.strip(),
            "object": os.path.basename(ours), "results": results}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--select", metavar="REGEX",
                        help="only the cases whose name matches")
    parser.add_argument("--output",
                        default=str(BENCH_DIR / "results" / "callgrind.json"))
    parser.add_argument("--keep", metavar="DIR",
                        help="keep the callgrind dumps in DIR")
    parser.add_argument("--driver", action="store_true",
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.driver:
        drive(args.select)
        return 0
    data = measure(args.select, args.keep)
    Path(args.output).parent.mkdir(parents=True, exist_ok=True)
    with open(args.output, "w") as f:
        json.dump(data, f, indent=1)
    for r in data["results"]:
        print(f"{r['name']:28} {r['instructions_per_call']:>12,} Ir/call  "
              f"ours {100 * r['ours_share']:5.1f}%")
    return 0


if __name__ == "__main__":
    sys.exit(main())
