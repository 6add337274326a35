#!/usr/bin/env bash
# Runs every fuzz target of a fuzz build for SECONDS seconds on its corpus in tests/fuzz/<name>/
# (new inputs found go to a scratch corpus under the build, so the checked-in seeds stay small).
# A crash, a leak, a hang over 10 s or a non-finite sample stops that target and fails the run;
# the input is left in the build folder as crash-*, leak-* or timeout-*.
# Usage: scripts/fuzz.sh BUILD_DIR SECONDS [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:?build folder}
seconds=${2:-60}
shift 2 || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for f in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
status=0
for t in "${targets[@]}"; do
  seeds="tests/fuzz/${t%_fuzz}"
  scratch="$build/corpus/$t"
  mkdir -p "$scratch"
  echo "fuzz: $t for ${seconds}s (seeds $seeds)"
  # The known crashing inputs are replayed first, as regression cases.
  if [ -d "$seeds/regressions" ] && [ -n "$(ls -A "$seeds/regressions")" ]; then
    "$build/$t" "$seeds"/regressions/* > "$build/$t.regressions.log" 2>&1 || { echo "fuzz: $t fails a regression case"; tail -30 "$build/$t.regressions.log"; status=1; continue; }
  fi
  if ! (cd "$build" && ASAN_OPTIONS=detect_leaks=1 ./"$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -max_len=20000 -print_final_stats=1 "corpus/$t" "$OLDPWD/$seeds" > "$t.log" 2>&1); then
    echo "fuzz: $t found a fault (see $build/$t.log)"
    tail -40 "$build/$t.log"
    status=1
  fi
  grep -E "^stat::number_of_executed_units|^stat::peak_rss_mb" "$build/$t.log" | tr '\n' ' '
  grep -E "cov: [0-9]+" -o "$build/$t.log" | tail -1
done
exit $status
