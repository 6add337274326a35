#!/usr/bin/env bash
# What each kind costs inside a whole render, beside what its benchmark says: 60 s of the built-in
# phrase (48000 Hz, stereo, float) rendered with "--fx KIND --fx Gain" and with "--fx Gain" alone,
# both timed by hyperfine in one run; the difference per stereo frame is the kind's cost in the
# render. CPU time (user + system) is used besides the wall-clock median, since the machine may be
# shared. Run by hand (bash bench/kind_costs.sh [KIND ...], KIND an index); never by the tests.
set -euo pipefail

BUILD=${BUILD:-build}
SECONDS_OF_AUDIO=${SECONDS_OF_AUDIO:-60}
RUNS=${RUNS:-5}
kinds=("$@")
((${#kinds[@]})) || kinds=(1 2 3 4 5 6 7 8 9 10 13)

for tool in sox hyperfine; do
    command -v "$tool" > /dev/null || { echo "$tool is not installed (bench/compare.sh installs it)"; exit 1; }
done
. "$(dirname "$0")/phrase_input.sh"
phrase_input varnomix-bench
bench=$(realpath "$BUILD/varnomix-bench")

"$bench" --benchmark_filter='BM_Kind' --benchmark_format=json --benchmark_min_time=0.2 > "$work/bench.json" 2> /dev/null

cd "$work"
# On one thread, so that the difference is the kind's own cost and not half of it.
commands=(-n gain "'$render' --quiet --threads 1 --fx Gain in.wav out.wav")
for k in "${kinds[@]}"; do
    commands+=(-n "$k" "'$render' --quiet --threads 1 --fx $k --fx Gain in.wav out.wav")
done
hyperfine --style basic -N --warmup 1 --runs "$RUNS" --export-json renders.json "${commands[@]}" > /dev/null 2>&1

names=$("$render" --list-kinds)
python3 - "$SECONDS_OF_AUDIO" "$names" << 'PY'
import json, statistics, sys
frames = 48000 * int(sys.argv[1])
names = {int(l[:2]): l[4:].replace("  (not built yet)", "") for l in sys.argv[2].splitlines()}
bench = {}
for b in json.load(open("bench.json"))["benchmarks"]:
    kind, _, name = b["name"].partition("/")
    bench[(kind, name)] = b["ns_per_frame"] * 1e9  # stored in seconds
runs = {r["command"]: r for r in json.load(open("renders.json"))["results"]}
def ns(r, cpu):
    t = (r["user"] + r["system"]) if cpu else r["median"]
    return t / frames * 1e9
g = runs.pop("gain")
print(f"Gain-only render: {ns(g, False):.1f} ns per stereo frame wall (median), {ns(g, True):.1f} CPU (mean)")
print(f"{'kind':24s} {'bench':>7s} {'silence':>8s} {'phrase':>7s} {'decay':>7s} {'render CPU':>11s} {'render wall':>12s} {'CPU/bench':>10s}")
for k, r in runs.items():
    name = names[int(k)]
    b, s, p, d = (bench.get((f, name), float("nan")) for f in
                  ("BM_Kind", "BM_Kind_SilenceAfterSignal", "BM_Kind_Phrase", "BM_Kind_Decay"))
    cpu, wall = ns(r, True) - ns(g, True), ns(r, False) - ns(g, False)
    print(f"{name:24s} {b:7.1f} {s:8.1f} {p:7.1f} {d:7.1f} {cpu:11.1f} {wall:12.1f} {cpu / b:10.2f}")
print("(ns per stereo frame; bench: benchmark on loud noise, on silence after it, on the phrase and on")
print(" noise fading below the normal float range, 480-frame blocks)")
PY
