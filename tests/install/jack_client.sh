#!/usr/bin/env bash
# Under JACK the live engine is a client named "Varnomix": a private dummy server, the live mode on
# its system ports, and jack_lsp lists Varnomix's ports.
# Usage: jack_client.sh BUILD_FOLDER
. "$(dirname "$0")/lib.sh"
build=$1
for tool in jackd jack_lsp; do
    command -v $tool > /dev/null || { echo "$tool is not installed"; exit 77; }
done
export JACK_DEFAULT_SERVER=vx-install-$$ JACK_NO_AUDIO_RESERVATION=1
jackd -n "$JACK_DEFAULT_SERVER" -d dummy -r 48000 -p 128 > "$scratch/jackd.log" 2>&1 &
jackd_pid=$!
cleanup_hooks+=("kill $jackd_pid 2>/dev/null; wait $jackd_pid 2>/dev/null")
# Polls until a check holds or its process is gone; the bounds only end a hung run.
for _ in $(seq 600); do
    jack_lsp > /dev/null 2>&1 && break
    kill -0 $jackd_pid 2>/dev/null || { cat "$scratch/jackd.log"; echo "jackd exited at once"; exit 77; }
    sleep 0.1
done
jack_lsp > /dev/null 2>&1 || { echo "jackd did not accept clients"; exit 77; }

# An empty program folder of its own: the build folder's settings play no part.
mkdir -p "$scratch/home"
"$build/varnomix" --nogui --home "$scratch/home" --input "JACK: system" --output "JACK: system" --seconds 600 > "$scratch/live.log" 2>&1 &
live_pid=$!
cleanup_hooks=("kill $live_pid 2>/dev/null; wait $live_pid 2>/dev/null" "${cleanup_hooks[@]}")
found=
for _ in $(seq 1200); do
    jack_lsp 2> /dev/null > "$scratch/ports.txt"
    if grep -q "^Varnomix:" "$scratch/ports.txt"; then found=1; break; fi
    kill -0 $live_pid 2>/dev/null || break
    sleep 0.1
done
if [ -z "$found" ]; then
    cat "$scratch/live.log" "$scratch/ports.txt"
    fail "jack_lsp does not list a client \"Varnomix\""
fi
grep -q "^PortAudio" "$scratch/ports.txt" && fail "the client still shows as PortAudio"
# SIGTERM stops it cleanly once it reports its first second: then its handler is in place.
for _ in $(seq 1200); do
    grep -q "^ *1 s " "$scratch/live.log" && break
    kill -0 $live_pid 2>/dev/null || break
    sleep 0.1
done
kill -TERM $live_pid
wait $live_pid || { cat "$scratch/live.log"; fail "the live mode did not stop cleanly at SIGTERM"; }
finish
