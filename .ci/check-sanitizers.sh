#!/usr/bin/env bash
# Builds factbrief with AddressSanitizer and UndefinedBehaviorSanitizer
# for the chosen Python (FACTBRIEF_PY, default 3.13) into its own venv
# (.venv-asan-3.1x, build dir build/asan-3.1x) and runs the whole test
# suite under it. Any sanitizer report, in pytest or in any Python
# child a test starts, fails the run. Extra arguments go to both pytest
# passes. Needs g++ with libasan and libubsan (Debian: g++, already
# needed for the regular build) and readelf (Debian: binutils).
#
# The interpreter is not instrumented, so gcc's sanitizer runtimes are
# preloaded into it. .venv-asan/bin/python is a wrapper that asks the
# dynamic loader to preload them (ld.so --preload) instead of setting
# LD_PRELOAD: Python children start through sys.executable and get the
# runtimes again, while g++ and other tools the tests run stay
# uninstrumented and do not report their own leaks.
#
# Pass 1, all tests: PYTHONMALLOC=malloc, so every object is a malloc
# block ASan can guard and LeakSanitizer can see, and leak detection on.
# .ci/lsan.supp hides only allocations of the loader and of
# third-party libraries, never a frame of ours.
# Pass 2, the tests that need the interpreter's own allocator or address
# space, or leave blocks behind by design: the soak tests
# (sys.getallocatedblocks() counts pymalloc blocks only and reads 0 under
# malloc), the capped-address-space test (LeakSanitizer's exit scan needs
# memory the test has capped) and the exit-with-daemon-threads tests. Leak
# detection is off there, as LeakSanitizer cannot see into pymalloc's
# arenas; out-of-bounds and use-after-free checks stay on.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
root=$PWD
source scripts/versions.sh
venv=.venv-asan-$py_version
real=$venv/bin/python$py_version  # the interpreter itself; setup runs on it
python=$(scripts/find-python.sh "$py_version")
# A venv copied or pruned by hand can run Python yet miss parts of pip or
# of the test tools (a tree filter that drops every folder named "build"
# does both); such a venv is made anew rather than patched.
healthy() {
    [ -x "$real" ] &&
        "$real" -c "import sys; assert sys.version_info[:2] == \
            tuple(map(int, '$py_version'.split('.')))" 2>/dev/null &&
        "$real" -m pip install --help >/dev/null 2>&1 &&
        "$real" -c 'import pytest, build, hypothesis, openai' \
            2>/dev/null
}
stamp=$venv/.factbrief-deps
if ! healthy; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi
build=(--no-build-isolation -Cbuild-dir=build/asan-$py_version
       -Ccmake.define.FACTBRIEF_SANITIZE=ON
       -Ccmake.build-type=RelWithDebInfo -Cinstall.strip=false)
# As in scripts/setup.sh: the dependencies again when pyproject.toml
# changes, the build again when a source or this script (its flags)
# changes, or when the installed module is missing.
want=$(sha256sum pyproject.toml | cut -d' ' -f1)
source_stamp=$venv/.factbrief-source
sources="$(scripts/source-stamp.sh)"
sources+=" $(sha256sum .ci/check-sanitizers.sh | cut -d' ' -f1)"
site=$venv/lib/python$py_version/site-packages
if [ "$(cat "$stamp" 2>/dev/null)" != "$want" ]; then
    "$real" -m pip install -q -U pip
    "$real" -m pip install -q "scikit-build-core>=0.10" cmake ninja
    "$real" -m pip install -q "${build[@]}" ".[test]"
    echo "$want" > "$stamp"
    echo "$sources" > "$source_stamp"
elif [ "$(cat "$source_stamp" 2>/dev/null)" != "$sources" ] ||
        ! compgen -G "$site/factbrief/factbrief*.so" >/dev/null; then
    "$real" -m pip install -q "${build[@]}" --no-deps --force-reinstall .
    echo "$sources" > "$source_stamp"
fi
so=$(find "$venv/lib/python$py_version/site-packages/factbrief" \
        -name 'factbrief*.so' | head -n1)
if ! nm -D --undefined-only "$so" | grep __asan_init >/dev/null; then
    echo "check-sanitizers: $so is not an ASan build" >&2
    exit 1
fi
echo "check-sanitizers: build and install took ${SECONDS} s" >&2

asan=$(g++ -print-file-name=libasan.so)
ubsan=$(g++ -print-file-name=libubsan.so)
for lib in "$asan" "$ubsan"; do
    [ -e "$lib" ] || { echo "check-sanitizers: $lib not found" >&2; exit 1; }
done
loader=$(readelf -l "$(readlink -f "$real")" |
         sed -n 's/.*program interpreter: \(.*\)\]$/\1/p')
wrapper=$root/$venv/bin/python
rm -f "$wrapper"
cat > "$wrapper" <<EOF
#!/bin/sh
# Starts the interpreter with the sanitizer runtimes loaded first.
exec $loader --preload "$asan $ubsan" --argv0 "\$0" \\
    "$root/$real" "\$@"
EOF
chmod +x "$wrapper"
# Console scripts the tests may run must start through the wrapper too.
for f in "$venv"/bin/*; do
    if [ -f "$f" ] && [ ! -L "$f" ] &&
            head -c 200 "$f" | head -n1 | grep -qxF "#!$root/$real"; then
        sed -i "1s|.*|#!$wrapper|" "$f"
    fi
done
# With ASan loaded first, gcc's UBSan runtime hands its log_path to ASan's
# copy of the report settings and keeps writing its own reports to stderr,
# where pytest's capture or a test's pipe swallows them when the process
# dies. Every interpreter of this venv therefore points UBSan's own copy at
# the report folder named in FACTBRIEF_UBSAN_LOG, if set, as it starts.
cat > "$venv/lib/python$py_version/site-packages/factbrief-ubsan-log.pth" <<EOF
import os, ctypes; p = os.environ.get("FACTBRIEF_UBSAN_LOG"); p and ctypes.CDLL("$ubsan").__sanitizer_set_report_path(p.encode())
EOF

log_dir=build/asan-$py_version/reports
rm -rf "$log_dir"
mkdir -p "$log_dir"
# intercept_tls_get_addr=0: gcc 12's runtime guesses the extent of each
# dynamic TLS block from a glibc 2.19 header that newer glibc no longer
# writes. When a block happens to start 16 bytes into a page it takes
# whatever precedes it for that header, and the exit leak scan then reads
# a wild range and dies ("Tracer caught signal 11"), now and then, in
# any process. The blocks are malloc chunks the thread's dtv points to,
# so the scan still reaches them without the guess.
common="intercept_tls_get_addr=0:halt_on_error=1:abort_on_error=0:exitcode=86\
:detect_stack_use_after_return=1:check_initialization_order=1\
:strict_init_order=1:allocator_may_return_null=1\
:log_path=$root/$log_dir/asan:log_exe_name=1"
# From 3.12 the interpreter leaves its immortal strings behind at exit.
supp=$root/build/asan-$py_version/lsan.supp
cat .ci/lsan.supp > "$supp"
case $py_version in
    3.10|3.11) ;;
    *) cat .ci/lsan-immortal.supp >> "$supp" ;;
esac
export LSAN_OPTIONS="suppressions=$supp\
:print_suppressions=0:exitcode=87"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=88\
:log_path=$root/$log_dir/ubsan:log_exe_name=1"
export FACTBRIEF_UBSAN_LOG=$root/$log_dir/ubsan
# The exit tests end their children with daemon threads in mid-call: the
# interpreter never frees what those threads held, so leak detection there
# would only report the interpreter's own blocks.
# ASan's redzones make every native frame several times larger, while from
# 3.12 the interpreter counts C calls against its own limit (3.13 on Linux
# x86-64: 10,000 deep) before its RecursionError, whatever
# sys.getrecursionlimit() says: the re-entry tests then need more than the
# usual 8 MB main-thread stack.
ulimit -s $((64 * 1024)) 2>/dev/null || true
pass2=(tests/test_soak.py
       tests/test_faults.py::test_real_memory_exhaustion_gives_the_failure_record
       tests/test_hostile_boundaries.py::test_exit_with_daemon_threads_in_calls
       tests/test_hostile_boundaries.py::test_exit_with_daemon_threads_in_real_requests)
status=0

echo "check-sanitizers: pass 1, all tests, malloc, leak detection" >&2
deselect=()
for t in "${pass2[@]}"; do
    [ -e "${t%%::*}" ] && deselect+=("--deselect=$t")
done
run_pass1() {
    PYTHONMALLOC=malloc ASAN_OPTIONS="detect_leaks=1:$common" \
        "$wrapper" -m pytest -p no:cacheprovider "${deselect[@]}" "$@"
}
# True when there are reports and each is LeakSanitizer dying inside its
# own exit scan, with no finding of any sanitizer among them: no verdict
# on our code either way.
only_scanner_crashes() {
    compgen -G "$log_dir/*" >/dev/null &&
        ! grep -q -e "ERROR:" -e "runtime error:" "$log_dir"/* &&
        [ -z "$(grep -L "LeakSanitizer has encountered a fatal error" \
                "$log_dir"/*)" ]
}
# The crash may hit a child whose status no test looks at, so the reports
# decide, not pytest's status.
run_pass1 "$@" || status=$?
if only_scanner_crashes; then
    echo "check-sanitizers: LeakSanitizer's own scan crashed;" \
         "running pass 1 once more:" >&2
    cat "$log_dir"/* >&2
    rm -f "$log_dir"/*
    status=0
    run_pass1 "$@" || status=$?
fi

echo "check-sanitizers: pass 2, soak and address-space tests, pymalloc" >&2
run2=()
for t in "${pass2[@]}"; do
    [ -e "${t%%::*}" ] && run2+=("$t")
done
if [ ${#run2[@]} -gt 0 ]; then
    ASAN_OPTIONS="detect_leaks=0:$common" \
        "$wrapper" -m pytest -p no:cacheprovider "${run2[@]}" "$@" ||
        status=$?
fi

# Reports from children whose status no test looks at count as well.
if compgen -G "$log_dir/*" >/dev/null; then
    echo "check-sanitizers: sanitizer reports:" >&2
    for f in "$log_dir"/*; do
        echo "==== $f" >&2
        cat "$f" >&2
    done
    status=1
fi
echo "check-sanitizers: Python $py_version:" \
    "$([ "$status" = 0 ] && echo clean || echo FAILED) in ${SECONDS} s" >&2
exit "$status"
