# Sourced by the benchmark scripts. phrase_input [TARGET ...] builds varnomix-render, varnomix-phrase
# and the targets named, then writes $work/in.wav: SECONDS_OF_AUDIO of the built-in phrase at
# 48000 Hz, stereo, as 32-bit float, so that every program timed reads and writes the same format.
# Sets render, phrase and work (removed at exit).
phrase_input() {
    cmake --build "$BUILD" -j "${JOBS:-2}" --target varnomix-render varnomix-phrase "$@" > /dev/null
    render=$(realpath "$BUILD/varnomix-render")
    phrase=$(realpath "$BUILD/varnomix-phrase")
    work=$(mktemp -d)
    trap 'rm -rf "$work"' EXIT
    "$phrase" --rate 48000 --channels 2 --seconds "$SECONDS_OF_AUDIO" "$work/dry.wav" > /dev/null
    sox "$work/dry.wav" -e floating-point -b 32 "$work/in.wav"
}
