#!/usr/bin/env bash
# The Debian package: unpacked with dpkg-deb into a scratch folder, its programs run as installed
# ones (a new user's folder seeded, a render through a factory preset, a second of the live mode);
# its declared dependencies; lintian, where installed, finds no errors.
# Usage: package.sh PACKAGE.deb
. "$(dirname "$0")/lib.sh"
deb=$1
if [ ! -f "$deb" ]; then
    echo "no package $deb: it is built by the fixture install_package_build (or make package)"
    exit 77
fi
root=$scratch/root
dpkg-deb -x "$deb" "$root" || { echo "dpkg-deb cannot unpack $deb"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package)" = varnomix ] || fail "the package is not called varnomix"
[ "$(dpkg-deb -f "$deb" Architecture)" = amd64 ] || fail "the package is not for amd64"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libportaudio2 libsndfile1 libc6; do
    grep -q "$lib" <<< "$depends" || fail "the package does not depend on $lib: $depends"
done
for p in varnomix varnomix-render varnomix-preset varnomix-phrase; do
    [ -x "$root/usr/bin/$p" ] || fail "the package lacks /usr/bin/$p"
    expect_file "$root/usr/share/man/man1/$p.1.gz"
done
expect_file "$root/usr/share/applications/org.varnomix.Varnomix.desktop"
expect_file "$root/usr/share/icons/hicolor/scalable/apps/org.varnomix.Varnomix.svg"
expect_file "$root/usr/share/metainfo/org.varnomix.Varnomix.metainfo.xml"
expect_file "$root/usr/share/doc/varnomix/copyright"

check_installed_programs "$root/usr"

if command -v lintian > /dev/null; then
    lintian --no-tag-display-limit "$deb" > "$scratch/lintian.log" 2>&1
    if grep -q "^E:" "$scratch/lintian.log"; then
        cat "$scratch/lintian.log"
        fail "lintian reports errors"
    fi
else
    echo "note: lintian not installed, the package is not checked by it"
fi
finish
