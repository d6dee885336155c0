#!/bin/sh
# Checks the shared benchmark main through the probe program: a missed target is reported and fails the
# program only with --qb_enforce_targets; a wrong result or nothing measured always fails it; Google
# Benchmark's format and output-file flags are honoured.
# Usage: check-bench-main.sh <probe program>
set -u
probe=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
json_field() { # file, python expression on the parsed document `d`
    python3 -c "import json, sys; d = json.load(open(sys.argv[1])); print($2)" "$1" 2>/dev/null
}

"$probe" --benchmark_filter=BM_MissesItsTarget >"$work/out" 2>"$work/err" || fail "a missed target failed an unenforced run"
grep -q "target missed: BM_MissesItsTarget[^ ]* figure_ms = 2, target 1 (not enforced)" "$work/err" ||
    fail "the missed target was not reported: $(cat "$work/err")"
"$probe" --benchmark_filter=BM_MissesItsTarget --qb_enforce_targets >/dev/null 2>&1 &&
    fail "a missed target passed an enforced run"
"$probe" --benchmark_filter=BM_WrongResult >/dev/null 2>&1 && fail "a wrong result passed"
"$probe" --benchmark_filter=NoSuchBenchmark >/dev/null 2>&1 && fail "a run that measured nothing passed"

"$probe" --benchmark_filter=BM_MissesItsTarget --benchmark_format=json >"$work/display.json" 2>/dev/null
[ "$(json_field "$work/display.json" 'd["benchmarks"][0]["figure_ms_target"]')" = "1.0" ] ||
    fail "--benchmark_format=json did not print the figures as JSON: $(head -c 300 "$work/display.json")"

"$probe" --benchmark_filter=BM_MissesItsTarget --benchmark_out="$work/file.json" --benchmark_out_format=json \
    >"$work/console" 2>/dev/null
[ "$(json_field "$work/file.json" 'd["benchmarks"][0]["figure_ms"]')" = "2.0" ] ||
    fail "--benchmark_out did not write the figures as JSON"
grep -q "^BM_MissesItsTarget" "$work/console" || fail "the console table went missing beside --benchmark_out"

[ "$failures" -eq 0 ] && echo "the benchmark main behaves as documented"
exit "$failures"
