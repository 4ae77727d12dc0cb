#!/usr/bin/env bash
# The long fuzz run: the targets one after the other (one process at a time, so one
# core), each on its own corpus in OUT/corpus/<target>/, which starts as a copy of the
# seed corpus and keeps what the run adds. Logs and any finding (crash-, leak-, timeout-
# files) go to OUT; a table of the figures to OUT/summary.md.
#
#   scripts/fuzz-long.sh BUILD_DIR OUT target=seconds [target=seconds ...]
#
# BUILD_DIR is a tree configured with -DKESTRO_FUZZ=ON (clang) and built.
# KESTRO_FUZZ_OPTIONS: further libFuzzer options for every target (e.g. -max_len=1400).
set -uo pipefail
cd "$(dirname "$0")/.."
build=$1
out=$2
shift 2
mkdir -p "$out/corpus"
status=0
for spec in "$@"; do
  target=${spec%%=*}
  seconds=${spec#*=}
  mkdir -p "$out/corpus/$target"
  cp -n fuzz/corpus/"$target"/* "$out/corpus/$target/"
  echo "$(date -u +%H:%M:%S) $target for $seconds s"
  # shellcheck disable=SC2086  # the options are split on purpose
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 ${KESTRO_FUZZ_OPTIONS:-} \
       -artifact_prefix="$out/$target-" "$out/corpus/$target" >"$out/$target.log" 2>&1; then
    echo "$target: finding, see $out/$target.log"
    status=1
  fi
done

{
  echo "| target | executions | exec/s | time (s) | cov | ft | corpus (files) | findings |"
  echo "|---|---|---|---|---|---|---|---|"
  for spec in "$@"; do
    target=${spec%%=*}
    log="$out/$target.log"
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    time=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log")
    last=$(grep -E '^#[0-9]+' "$log" | tail -1)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    files=$(find "$out/corpus/$target" -type f | wc -l)
    findings=$(find "$out" -maxdepth 1 -name "$target-*" | wc -l)
    echo "| $target | $runs | $rate | $time | $cov | $ft | $files | $findings |"
  done
} >"$out/summary.md"
cat "$out/summary.md"
exit $status
