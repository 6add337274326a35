#!/usr/bin/env bash
# make run: starts the desktop program, with the build folder as its program folder (PRESETS/,
# SKINS/, temp/ and the settings files live there). Without a display it runs the live engine
# without windows for ten seconds instead, on the built-in devices, so that the engine is seen to
# work on a headless machine too.
set -euo pipefail
build=${1:-build}
mkdir -p "$build/PRESETS" "$build/SKINS" "$build/temp"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "make run: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so no windows."
  echo "make run: running the engine without windows for ten seconds instead:"
  echo "  $build/varnomix --nogui --home $build --input \"Test signal\" --output \"Null output\" --seconds 10"
  exec "$build/varnomix" --nogui --home "$build" --input "Test signal" --output "Null output" --seconds 10
fi
exec "$build/varnomix" --home "$build"
