# Shared by the install checks: a scratch folder removed at the end, and failures that say what.
set -u
failures=0
scratch=$(mktemp -d "${TMPDIR:-/tmp}/vx-install.XXXXXX")
cleanup_hooks=()
cleanup() {
    for h in "${cleanup_hooks[@]}"; do eval "$h"; done
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
expect_file() { [ -f "$1" ] || fail "missing file $1"; }
finish() {
    if [ "$failures" -ne 0 ]; then
        echo "$failures check(s) failed" >&2
        exit 1
    fi
    echo "all checks passed"
}

# A user without settings of their own: no program folder chosen, a new data folder.
fresh_user() {
    local home=$1
    mkdir -p "$home"
    env -u VARNOMIX_HOME HOME="$home" XDG_DATA_HOME="$home/data" "${@:2}"
}

# An installed tree under $1 (a prefix): its programs start, seed the user's folder and render
# through a factory preset; then the live mode runs a second from that folder.
check_installed_programs() {
    local prefix=$1 user=$scratch/user-$RANDOM
    local folder=$user/data/varnomix
    "$prefix/bin/varnomix-phrase" --seconds 1 "$scratch/in.wav" || fail "varnomix-phrase did not write a phrase"
    fresh_user "$user" "$prefix/bin/varnomix-render" --quiet \
        --preset "$folder/PRESETS/F9 - High Gain Distortion Noise Gate.pre" "$scratch/in.wav" "$scratch/out.wav" \
        || fail "the installed varnomix-render did not render through a factory preset of the seeded folder"
    [ -s "$scratch/out.wav" ] || fail "no rendered file"
    for f in "PRESETS/F1 - Clean.pre" SKINS/atmosphere.zip demo1.wav; do
        cmp -s "$folder/$f" "$prefix/share/varnomix/$f" || fail "the first start did not copy $f into $folder"
    done
    [ -d "$folder/temp" ] || fail "no temp folder in $folder"
    local log=$scratch/nogui.log
    fresh_user "$user" "$prefix/bin/varnomix" --nogui --input "Test signal" --output "Null output" --seconds 1 \
        > "$log" 2>&1 || { cat "$log" >&2; fail "the installed varnomix --nogui failed"; }
    grep -q "chain: *$folder/PRESETS/" "$log" || { cat "$log" >&2; fail "--nogui did not play a chain of $folder"; }
}
