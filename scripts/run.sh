#!/usr/bin/env bash
# make run: renders the built-in plucked-string phrase through a Gain chain and says where it is.
set -euo pipefail
build=${1:-build}
home="$build"
mkdir -p "$home/temp"
"$build/varnomix-phrase" --seconds 4 "$home/temp/phrase.wav"
"$build/varnomix-render" --fx Gain --set 1:ScrollBar_Gain_Mono=60 --set 1:CheckRadioBox_Air=0 \
  --set 1:RadioBox_SimpleChorus=1 --set 1:ScrollBar_SimpleChorus=40 \
  "$home/temp/phrase.wav" "$home/temp/phrase-gain.wav"
echo "Varnomix rendered a plucked-string phrase through a Gain chain:"
echo "  dry: $(realpath "$home/temp/phrase.wav")"
echo "  wet: $(realpath "$home/temp/phrase-gain.wav")  (x2, with the Simple Chorus widening the right channel)"
