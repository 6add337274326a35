#!/usr/bin/env bash
# The live budget: the full rack (all 13 kinds plus a second EQ, Distortion Plus and Reverberator,
# every switch a chain file holds on) played by "varnomix --nogui" on a private JACK dummy server
# (48000 Hz, 128-frame blocks). Prints the CPU meter's mean and maximum over the run, the xruns the
# server reported while it was measured, and the blocks dropped and underruns the engine counted.
# Run by hand (bash bench/live_budget.sh [SECONDS]); never by the tests. RACK=empty plays the same
# run with nothing in the rack: the machine's own share of the xruns, to set beside the full rack's.
set -euo pipefail

BUILD=${BUILD:-build}
SECONDS_TO_RUN=${1:-60}

for tool in jackd jack_lsp; do
    command -v "$tool" > /dev/null || { echo "$tool is not installed (Debian package jackd2)"; exit 1; }
done
cmake --build "$BUILD" -j "${JOBS:-2}" --target varnomix varnomix-preset > /dev/null
# LIVE=path plays another build of the program (an earlier one, to compare) through the same rack.
live=$(realpath "${LIVE:-$BUILD/varnomix}")
preset=$(realpath "$BUILD/varnomix-preset")

work=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2> /dev/null || true; wait "$p" 2> /dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

# The rack: every kind once, then the three that are doubled.
{
    for kind in "noise gate" "EQ (8 bands) + Filters" "Distortion-Compresor" "Distortion (Simple)" \
        "Distortorton Plus" "Distortion (Soft/Hard)" "Reverberator" "Delay" "Flanger / Chorus" "wah" \
        "Playback wav file" "Record wav" "Gain" "EQ (8 bands) + Filters" "Distortorton Plus" "Reverberator"; do
        echo "--fx $kind"
    done
    for s in 2 14; do
        for c in CheckRadioBox_EQ8_OnOff Gang CheckRadioBox_FVC_OnOff CheckRadioBox_FNC_OnOff CheckRadioBox_Shelf \
            CheckRadioBox_fnc_2000_OnOff CheckRadioBox_Filter_Notch; do
            echo "--set $s:$c=1"
        done
    done
    echo "--set 4:CheckBox_soft_limiter=1"
    for s in 5 15; do
        for c in CheckBox_Standard CheckBox_True CheckBox_Filter2 Gang; do echo "--set $s:$c=1"; done
    done
    printf -- '--set %s\n' 8:CheckRadioBox_Small_Flanger=1 9:CheckRadioBox_Gang=1 9:RadioBox_Chorus=1 \
        10:CheckRadioBox_Sweep_OnOff=1 13:CheckRadioBox_Air=1 13:RadioBox_SimpleChorus=1
} > "$work/rack.txt"
[ "${RACK:-full}" = empty ] && : > "$work/rack.txt"
"$preset" build "$work/full.pre" @"$work/rack.txt"

export JACK_DEFAULT_SERVER=vx-live-budget-$$ JACK_NO_AUDIO_RESERVATION=1
jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 128 > "$work/jackd.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do jack_lsp > /dev/null 2>&1 && break; sleep 0.1; done
jack_lsp > /dev/null 2>&1 || { cat "$work/jackd.log"; echo "jackd did not start"; exit 1; }

mkdir -p "$work/home"
# One second more than measured: the first meter line marks the start of the measurement.
"$live" --nogui --home "$work/home" --preset "$work/full.pre" --input "JACK: system" --output "JACK: system" \
    --seconds $((SECONDS_TO_RUN + 1)) > "$work/live.log" 2>&1 &
live_pid=$!
pids=("$live_pid" "${pids[@]}")
# The server tells a client that did not finish its cycle from its own timer firing late (a loaded
# machine delays the dummy driver itself); both are counted.
xruns() {
    echo "$(grep -c "was not finished" "$work/jackd.log" || true) $(grep -c "JackTimedDriver::Process XRun" "$work/jackd.log" || true)"
}
for _ in $(seq 600); do
    grep -q "^ *1 s " "$work/live.log" && break
    kill -0 "$live_pid" 2> /dev/null || break
    sleep 0.1
done
xruns_at_start=$(xruns)
status=0
wait "$live_pid" || status=$?
pids=("${pids[@]:1}")
xruns_at_end=$(xruns)
[ "$status" -eq 0 ] || { cat "$work/live.log"; echo "varnomix --nogui failed ($status)"; exit 1; }

echo "$([ "${RACK:-full}" = empty ] && echo "empty rack" || echo "full rack (16 slots)"), JACK dummy 48000 Hz / 128 frames, ${SECONDS_TO_RUN} s; load average: $(cut -d' ' -f1-3 /proc/loadavg)"
python3 - "$work/live.log" $xruns_at_start $xruns_at_end << 'PY'
import re, sys
log, c0, d0, c1, d1 = sys.argv[1], *map(int, sys.argv[2:6])
cpu, dropped, underruns = [], 0, 0
for line in open(log):
    m = re.match(r"\s*(\d+) s\s+CPU\s+(\d+) %.*dropped (\d+)\s+underruns (\d+)", line)
    if m and int(m.group(1)) >= 2:  # the first second holds the start
        cpu.append(int(m.group(2)))
    m = re.match(r"stopped: (\d+) blocks processed, (\d+) dropped, (\d+) underruns", line)
    if m:
        blocks, dropped, underruns = map(int, m.groups())
if not cpu:
    sys.exit("no meter lines in the log")
print(f"CPU meter: mean {sum(cpu) / len(cpu):.2f} %, max {max(cpu)} % over {len(cpu)} s (target: mean at most 3 %)")
print(f"xruns while measured: {c1 - c0} of the client, {d1 - d0} of the dummy driver's timer "
      f"(before: {c0} and {d0}; target: none)")
print(f"blocks processed {blocks}, dropped {dropped}, underruns {underruns}")
PY
awk -v period=2.667 -v from=2 -f "$(dirname "$0")/../scripts/block_times.awk" "$work/live.log"
