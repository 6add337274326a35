#!/usr/bin/env bash
# Hours of playing: the headless engine under a private JACK server (dummy driver, 48000 Hz,
# 128-frame blocks) with full 16-slot racks of every kind, all switched on, while its controls,
# switches and presets change several times a second through the command channel (--commands), the
# same setters and loaders the windows use. Prints xruns, dropped blocks, underruns, the CPU meter
# and the memory of the process at start and end; the logs stay in the work folder it names.
# Not a test: it takes as long as asked. SOAK_BASELINE=1 plays an empty rack and sends nothing: the
# xruns the machine makes by itself, to set beside a real run's; SOAK_RATE=0 plays the full rack and
# sends nothing.
# Usage: scripts/soak.sh MINUTES   (BUILD=folder, default build; SOAK_RATE=commands a second, default 8)
set -euo pipefail
cd "$(dirname "$0")/.."
minutes=${1:?usage: scripts/soak.sh MINUTES}
[[ $minutes =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "soak: MINUTES is a number, not \"$minutes\"" >&2; exit 2; }
build=${BUILD:-build}
rate=${SOAK_RATE:-8}
baseline=${SOAK_BASELINE:-0}
for tool in jackd jack_lsp "$build/varnomix" "$build/varnomix-preset"; do
    command -v "$tool" > /dev/null || { echo "soak: $tool is missing (build first: make build)" >&2; exit 2; }
done
[ -f "$build/demo1.wav" ] || { echo "soak: $build/demo1.wav is missing (build first: make build)" >&2; exit 2; }

work=$(mktemp -d /tmp/vx-soak.XXXXXX)
mkfifo "$work/jackd.fifo"
home=$work/home
mkdir -p "$home/PRESETS" "$home/SKINS" "$home/temp"
cp "$build/demo1.wav" "$home/"
pids=()
cleanup() {
    local i
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2> /dev/null || true
        wait "${pids[i]}" 2> /dev/null || true
    done
}
trap cleanup EXIT

# --- the racks: every kind once, three twice, in four orders; the player first feeds the rest ----
# Kinds: 1 gate, 2 EQ, 3..6 distortions, 7 reverb, 8 delay, 9 flanger, 10 wah, 11 player,
# 12 recorder, 13 gain.
racks=("11 1 2 3 4 5 6 10 9 8 7 12 13 2 9 8"
       "11 10 6 5 4 3 1 2 13 7 8 9 12 7 3 13"
       "11 2 1 6 3 10 9 9 8 8 7 7 12 13 4 5"
       "11 13 12 1 2 3 4 5 6 7 8 9 10 2 6 7")
declare -a rack_files
for r in "${!racks[@]}"; do
    file="$home/PRESETS/F$((r + 1)) - soak rack $((r + 1)).pre"
    args=()
    for k in ${racks[r]}; do args+=(--fx "$k"); done
    "$build/varnomix-preset" build "$file" --home "$home" "${args[@]}" > /dev/null
    rack_files[r]=$file
    # Every control a user works, slot by slot: "S NAME TYPE MIN MAX". The recorder's memory size
    # stays as it is: a new size is a new allocation, which would hide a leak.
    "$build/varnomix-preset" show "$file" --home "$home" | awk '
        /^slot / { slot = $2 + 0; next }
        $1 == "ComboBox_Memory" { next }
        $2 == "button" || $2 == "textbox" { print slot, $1, $2, 0, 99; next }
        $2 == "slider" || $2 == "checkbox" || $2 == "selector" || $2 == "radiogroup" {
            split($3, range, "\\.\\.")
            if (range[2] + 0 >= range[1] + 0) print slot, $1, $2, range[1], range[2]
        }' > "$work/controls$r.txt"
done

# --- the server, and the engine on its system ports ----------------------------------------------
export JACK_DEFAULT_SERVER=vx-soak-$$ JACK_NO_AUDIO_RESERVATION=1 JACK_NO_START_SERVER=1
# Each line of the server stamped with the second it came, to set its xruns beside the commands.
jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 128 > "$work/jackd.fifo" 2>&1 &
pids+=($!)
while IFS= read -r line; do printf '%(%s)T %s\n' -1 "$line"; done < "$work/jackd.fifo" > "$work/jackd.log" &
pids+=($!)
for _ in $(seq 100); do
    jack_lsp > /dev/null 2>&1 && break
    kill -0 "${pids[0]}" 2> /dev/null || { cat "$work/jackd.log"; echo "soak: jackd exited at once" >&2; exit 1; }
    sleep 0.1
done
jack_lsp > /dev/null 2>&1 || { echo "soak: jackd accepts no clients" >&2; exit 1; }

mkfifo "$work/commands"
first=${rack_files[0]}
if [ "$baseline" = 1 ]; then
    first=$work/empty.pre
    "$build/varnomix-preset" build "$first" --home "$home" > /dev/null
fi
"$build/varnomix" --nogui --home "$home" --input "JACK: system" --output "JACK: system" --rate 48000 \
    --preset "$first" --commands "$work/commands" > "$work/engine.log" 2> "$work/engine.err" &
engine=$!
pids+=($engine)
# Kept open here, so that the engine never sees the end of its commands.
exec 3<> "$work/commands"

# One command to the engine, and into the log with its second.
send() {
    printf '%s\n' "$1" >&3
    printf '%(%s)T %s\n' -1 "$1" >> "$work/commands.log"
}
rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2> /dev/null || echo 0; }
# Started once the first meter line is out.
for _ in $(seq 300); do
    grep -q "^ *1 s  CPU" "$work/engine.log" && break
    kill -0 $engine 2> /dev/null || { cat "$work/engine.log" "$work/engine.err"; echo "soak: the engine did not start" >&2; exit 1; }
    sleep 0.1
done
grep -q "^ *1 s  CPU" "$work/engine.log" || { cat "$work/engine.log" "$work/engine.err"; echo "soak: no meter line" >&2; exit 1; }
rss_start=$(rss_kb $engine)
started=$(date +%s)
if [ "$baseline" = 1 ]; then
    echo "soak: $minutes min, baseline: an empty rack and no commands, logs in $work"
else
    echo "soak: $minutes min, $rate commands a second, logs in $work"
fi
echo "soak: $(grep -E '^(input|output|rate):' "$work/engine.log" | tr -s ' ' | paste -sd ';' -)"

# --- the player's hands ----------------------------------------------------------------------
end=$(( $(date +%s) + $(awk -v m="$minutes" 'BEGIN { printf "%d", m * 60 }') ))
pause=$(awk -v r="$rate" 'BEGIN { printf "%.3f", (r > 0 ? 1 / r : 1) }')
quiet=$baseline
awk -v r="$rate" 'BEGIN { exit !(r <= 0) }' && quiet=1
rack=0 shown=-1
mapfile -t controls < "$work/controls0.txt"
sent=0 presets=0 switches=0 presses=0
rss_log=$work/rss.txt
rss_every=${SOAK_RSS_EVERY:-60}
next_rss=$(( $(date +%s) + rss_every ))
while (( $(date +%s) < end )); do
    kill -0 $engine 2> /dev/null || { echo "soak: the engine ended early" >&2; break; }
    n=$RANDOM
    if [ "$quiet" = 1 ]; then
        :  # nothing to send
    elif (( n % 97 == 0 )); then
        # Another rack, by its function key or by its file.
        rack=$(( (rack + 1 + RANDOM % 3) % 4 ))
        # A function key loads nothing while the presets list shows its file already (a file loaded
        # by name leaves the list as it was): then the file by name.
        if (( RANDOM % 2 )) && (( rack != shown )); then
            send "F$((rack + 1))"
            shown=$rack
        else
            send "preset ${rack_files[rack]}"
        fi
        mapfile -t controls < "$work/controls$rack.txt"
        presets=$((presets + 1))
    elif (( n % 41 == 0 )); then
        slot=$((1 + RANDOM % 16))
        send "off $slot"
        send "on $slot"
        switches=$((switches + 2))
    else
        read -r slot name type lo hi <<< "${controls[RANDOM % ${#controls[@]}]}"
        if [ "$type" = button ]; then
            send "press $slot:$name"
            presses=$((presses + 1))
        else
            send "set $slot:$name=$(( lo + RANDOM % (hi - lo + 1) ))"
        fi
    fi
    [ "$quiet" = 1 ] || sent=$((sent + 1))
    if (( $(date +%s) >= next_rss )); then
        echo "$(date -u +%T) $(rss_kb $engine)" >> "$rss_log"
        next_rss=$((next_rss + rss_every))
    fi
    sleep "$pause"
done
rss_end=$(rss_kb $engine)
stopped=$(date +%s)
send "stop"
for _ in $(seq 300); do kill -0 $engine 2> /dev/null || break; sleep 0.1; done
status=0
wait $engine || status=$?
exec 3>&-

# --- the figures ---------------------------------------------------------------------------------
meter=$(awk '/ s  CPU/ { n++; cpu = $4 + 0; sum += cpu; if (cpu > max) max = cpu; d = $14; u = $16 }
             END { if (n) printf "%d %.1f %d %s %s", n, sum / n, max, d, u; else print "0 0 0 ? ?" }' "$work/engine.log")
read -r seconds cpu_mean cpu_max dropped underruns <<< "$meter"
# The server's xruns while the commands ran: its own timer waking late (the machine), and cycles in
# which the engine's clients had not finished ("Process error"), those within a second after a
# rack change counted apart. A client "Triggered" had not been given the processor at all; one
# "Running" had started its block.
read -r timer_late engine_late at_change unstarted running <<< "$(awk -v a="$started" -v b="$stopped" '
    FNR == NR { if ($2 ~ /^F[0-9]/ || $2 == "preset") change[$1] = change[$1 + 1] = 1; next }
    $1 < a || $1 > b { next }
    /JackTimedDriver::Process XRun/ { t++ }
    /Process error/ { e++; if ($1 in change) c++ }
    /not finished, state = Triggered/ { u++ }
    /not finished, state = Running/ { r++ }
    END { printf "%d %d %d %d %d", t, e, c, u, r }' "$work/commands.log" "$work/jackd.log")"
bad=$(grep "line skipped" "$work/engine.err" | grep -vc "greyed out" || true)
greyed=$(grep -c "greyed out; line skipped" "$work/engine.err" || true)
echo "soak: ran ${seconds} s; sent $sent commands ($presets rack changes, $switches switches, $presses presses);" \
     "$bad refused, $greyed presses of greyed-out buttons"
echo "soak: xruns: $engine_late cycles the engine had not finished ($at_change of them within 1 s of a rack" \
     "change; clients not yet started $unstarted times, still running $running times); $timer_late late" \
     "wake-ups of the server's own timer; load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "soak: engine: dropped $dropped, underruns $underruns, CPU meter mean $cpu_mean %, max $cpu_max %"
echo "soak: $(awk -v period=2.667 -f scripts/block_times.awk "$work/engine.log")"
echo "soak: RSS start $((rss_start / 1024)) MiB ($rss_start kB), end $((rss_end / 1024)) MiB ($rss_end kB)"
[ -s "$rss_log" ] && echo "soak: RSS every $rss_every s (kB): $(awk '{ print $2 }' "$rss_log" | paste -sd ' ' -)"
tail -1 "$work/engine.log"
if [ "$status" != 0 ]; then
    echo "soak: the engine exited with status $status" >&2
    tail -20 "$work/engine.err" >&2
    exit 1
fi
