#!/usr/bin/env bash
# cmake --install into a scratch prefix: the tree, the desktop files, --help/--version and the manual
# pages of every program, and the user's program folder an installed program makes and keeps.
# Usage: install_tree.sh BUILD_FOLDER
. "$(dirname "$0")/lib.sh"
build=$1
prefix=$scratch/prefix
programs=(varnomix varnomix-render varnomix-preset varnomix-phrase)
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")

cmake --install "$build" --prefix "$prefix" > "$scratch/install.log" || { cat "$scratch/install.log"; exit 1; }

share=$prefix/share
for p in "${programs[@]}"; do
    [ -x "$prefix/bin/$p" ] || fail "missing program bin/$p"
    expect_file "$share/man/man1/$p.1.gz"
done
[ -e "$prefix/bin/varnomix-demo" ] && fail "the demo track generator is a build tool, not a program to install"
for src in "$(dirname "$0")"/../../presets/*.txt; do
    expect_file "$share/varnomix/PRESETS/$(basename "$src" .txt).pre"
done
for dir in "$(dirname "$0")"/../../skins/*/; do
    expect_file "$share/varnomix/SKINS/$(basename "$dir").zip"
done
expect_file "$share/varnomix/demo1.wav"
desktop=$share/applications/org.varnomix.Varnomix.desktop
metainfo=$share/metainfo/org.varnomix.Varnomix.metainfo.xml
expect_file "$desktop"
expect_file "$metainfo"
expect_file "$share/icons/hicolor/scalable/apps/org.varnomix.Varnomix.svg"
expect_file "$share/doc/varnomix/copyright"
grep -qx "Categories=AudioVideo;Audio;" "$desktop" || fail "the desktop entry is not in AudioVideo;Audio"
grep -qx "Icon=org.varnomix.Varnomix" "$desktop" || fail "the desktop entry does not name the installed icon"
if command -v desktop-file-validate > /dev/null; then
    desktop-file-validate "$desktop" || fail "desktop-file-validate rejects the desktop entry"
else
    echo "note: desktop-file-validate not installed, the desktop entry is not validated"
fi
if command -v appstreamcli > /dev/null; then
    appstreamcli validate --no-net "$metainfo" > "$scratch/as.log" 2>&1 || { cat "$scratch/as.log"; fail "appstreamcli rejects the metainfo"; }
else
    echo "note: appstreamcli not installed, the metainfo is not validated"
fi
grep -q "<release version=\"$version\"" "$metainfo" || fail "the metainfo has no release $version"

for p in "${programs[@]}"; do
    out=$("$prefix/bin/$p" --version) || fail "$p --version failed"
    [ "$out" = "$p $version" ] || fail "$p --version says \"$out\", not \"$p $version\""
    "$prefix/bin/$p" --help > "$scratch/help.txt" || fail "$p --help failed"
    grep -q "usage: $p" "$scratch/help.txt" || fail "$p --help shows no usage"
    # The page renders without complaints, and is the page of this program, made from its --help.
    LC_ALL=C MANWIDTH=200 man -l "$share/man/man1/$p.1.gz" > "$scratch/man.txt" 2> "$scratch/man.err" || fail "man -l $p.1.gz failed"
    [ -s "$scratch/man.err" ] && { cat "$scratch/man.err"; fail "man -l $p.1.gz complains"; }
    grep -q "^NAME" "$scratch/man.txt" && grep -Eq "^ +$p +- " "$scratch/man.txt" || fail "the manual of $p has no NAME"
    grep -q "usage: $p" "$scratch/man.txt" || fail "the manual of $p is not made from its --help"
    grep -q "local/share/varnomix" "$scratch/man.txt" || fail "the manual of $p does not say where the program folder is"
done
grep -q -- "--record S:FILE.wav" <(LC_ALL=C MANWIDTH=200 man -l "$share/man/man1/varnomix.1.gz") \
    || fail "the manual of varnomix lacks the options of --nogui"

check_installed_programs "$prefix"

# A second start keeps what the user changed: an edited preset, a deleted one, a changed skin.
user=$scratch/keeper
folder=$user/data/varnomix
render() { fresh_user "$user" "$@" "$prefix/bin/varnomix-render" --quiet --fx Gain "$scratch/in.wav" "$scratch/out2.wav"; }
render || fail "first start"
cp "$folder/PRESETS/F3 - Lead.pre" "$folder/PRESETS/F2 - Crunch.pre"
rm "$folder/PRESETS/F1 - Clean.pre"
echo "my skin" > "$folder/SKINS/symbios.zip"
echo "[File]" > "$folder/playback.ini"
render || fail "second start"
cmp -s "$folder/PRESETS/F2 - Crunch.pre" "$folder/PRESETS/F3 - Lead.pre" || fail "the second start replaced the user's F2 preset"
[ -e "$folder/PRESETS/F1 - Clean.pre" ] && fail "the second start brought back the preset the user deleted"
[ "$(cat "$folder/SKINS/symbios.zip")" = "my skin" ] || fail "the second start replaced the user's skin"
[ "$(cat "$folder/playback.ini")" = "[File]" ] || fail "the second start touched playback.ini"
# A new version fills in the factory files that are missing, and still replaces none.
echo "0.0" > "$folder/.factory-files"
render || fail "start of a new version"
cmp -s "$folder/PRESETS/F1 - Clean.pre" "$share/varnomix/PRESETS/F1 - Clean.pre" || fail "a new version did not restore F1"
cmp -s "$folder/PRESETS/F2 - Crunch.pre" "$folder/PRESETS/F3 - Lead.pre" || fail "a new version replaced the user's F2 preset"
[ "$(cat "$folder/SKINS/symbios.zip")" = "my skin" ] || fail "a new version replaced the user's skin"

# A data folder that cannot be made is named, and the program still does its work.
touch "$scratch/not-a-folder"
env -u VARNOMIX_HOME HOME="$scratch" XDG_DATA_HOME="$scratch/not-a-folder" "$prefix/bin/varnomix-render" --quiet \
    --fx Gain "$scratch/in.wav" "$scratch/out3.wav" 2> "$scratch/err.txt" || fail "no render without a program folder"
grep -q "cannot create the folder \"$scratch/not-a-folder/varnomix/PRESETS\"" "$scratch/err.txt" \
    || { cat "$scratch/err.txt"; fail "an unusable data folder is not named"; }

# --home and $VARNOMIX_HOME still choose the folder; a program of the build folder keeps the build
# folder. "Wave output" writes into the program folder's temp/, which --list-devices prints.
wave_folder() { "$@" --nogui --list-devices 2> /dev/null | sed -n 's/.*writes \(.*\)\/temp\/live-output.wav.*/\1/p'; }
other=$scratch/other
mkdir -p "$other"
user=$scratch/chooser
got=$(wave_folder fresh_user "$user" "$prefix/bin/varnomix" --home "$other")
[ "$got" = "$other" ] || fail "--home: the program folder is \"$got\", not $other"
got=$(wave_folder fresh_user "$user" VARNOMIX_HOME="$other" "$prefix/bin/varnomix")
[ "$got" = "$other" ] || fail "VARNOMIX_HOME: the program folder is \"$got\", not $other"
got=$(wave_folder fresh_user "$user" "$build/varnomix")
[ "$got" = "$(cd "$build" && pwd -P)" ] || fail "from the build folder: the program folder is \"$got\", not $build"
[ -e "$user/data/varnomix" ] && fail "a program folder was made in the user's data folder although another was chosen"
got=$(wave_folder fresh_user "$user" "$prefix/bin/varnomix")
[ "$got" = "$user/data/varnomix" ] || fail "installed: the program folder is \"$got\", not $user/data/varnomix"

finish
