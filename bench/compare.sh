#!/usr/bin/env bash
# The whole chain, side by side with sox: 60 s of the built-in phrase (48000 Hz, stereo, float)
# through the standard 8-slot chain with varnomix-render (on as many threads as it chooses), and
# through sox with a chain of the same categories, on one thread and in its own parallel mode
# (--multi-threaded), all timed as whole processes by hyperfine in one run. Then the tools' floor: a
# Gain-only render against sox "vol 1.0". Run by "make compare"; never by the tests.
# Installs sox and hyperfine (Debian packages) when they are missing.
set -euo pipefail

BUILD=${BUILD:-build}
SECONDS_OF_AUDIO=${SECONDS_OF_AUDIO:-60}
RUNS=${RUNS:-10}

need=()
for tool in sox hyperfine; do command -v "$tool" > /dev/null || need+=("$tool"); done
if ((${#need[@]})); then
    as_root=()
    [ "$(id -u)" -eq 0 ] || as_root=(sudo)
    "${as_root[@]}" apt-get install -y --no-install-recommends "${need[@]}" > /dev/null
fi

. "$(dirname "$0")/phrase_input.sh"
phrase_input

cat > "$work/chain.txt" << 'CHAIN'
--fx noise gate
--fx EQ (8 bands) + Filters
--set 2:CheckRadioBox_FVC_OnOff=1
--set 2:CheckRadioBox_Shelf=1
--set 2:CheckRadioBox_fnc_2000_OnOff=1
--fx Distortion (Soft/Hard)
--fx wah
--fx Flanger / Chorus
--fx Delay
--fx Reverberator
--fx Gain
CHAIN

# Gate, eight bands, overdrive, flanger, five echoes, reverb, gain.
sox_chain="compand .1,.2 -inf,-50.1,-inf,-50,-50 0 -90 .1"
for f in 100 200 400 800 1700 3400 5000 8000; do sox_chain+=" equalizer $f 1q 2"; done
sox_chain+=" overdrive 20 flanger echos 0.8 0.7 100 0.25 200 0.2 300 0.15 400 0.1 500 0.05 reverb gain -6"

cd "$work"
hyperfine --style basic --warmup 1 --runs "$RUNS" --export-json chain.json \
    -n varnomix "'$render' --quiet @chain.txt in.wav out-vx.wav" \
    -n sox "sox -q in.wav -e floating-point -b 32 out-sox.wav $sox_chain" \
    -n sox-mt "sox --multi-threaded -q in.wav -e floating-point -b 32 out-sox.wav $sox_chain"
hyperfine --style basic --warmup 1 --runs "$RUNS" --export-json floor.json \
    -n varnomix-gain "'$render' --quiet --fx Gain --set 1:CheckRadioBox_Air=0 in.wav out-vx.wav" \
    -n sox-vol "sox -q in.wav -e floating-point -b 32 out-sox.wav vol 1.0"

python3 - "$SECONDS_OF_AUDIO" << 'PY'
import json, sys
frames = 48000 * int(sys.argv[1])
def results(name):
    return {r["command"]: r for r in json.load(open(name))["results"]}
c, f = results("chain.json"), results("floor.json")
wall = lambda r: r["median"]
cpu = lambda r: r["user"] + r["system"]  # means; less moved by other work on a shared machine
print()
print(f"{'':26s} {'wall (median)':>26s} {'CPU (user + system)':>28s}")
for label, r in [("varnomix, 8-slot chain", c["varnomix"]), ("sox, same categories", c["sox"]),
                 ("sox --multi-threaded", c["sox-mt"]),
                 ("varnomix, Gain only", f["varnomix-gain"]), ("sox, vol 1.0", f["sox-vol"])]:
    print(f"{label:26s} {wall(r):7.3f} s {wall(r) / frames * 1e9:6.1f} ns/frame "
          f"{cpu(r):9.3f} s {cpu(r) / frames * 1e9:6.1f} ns/frame")
for how, t in [("wall", wall), ("CPU", cpu)]:
    print(f"{how:4s} chain: varnomix is {t(c['sox']) / t(c['varnomix']):.2f} times as fast as sox (target: at least 2), "
          f"{t(c['sox-mt']) / t(c['varnomix']):.2f} times as fast as sox --multi-threaded; "
          f"floor: Gain-only render takes {t(f['varnomix-gain']) / t(f['sox-vol']):.2f} times sox vol 1.0 (target: at most 1.2)")
PY
