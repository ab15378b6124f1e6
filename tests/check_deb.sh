#!/usr/bin/env bash
# Builds the Debian package from the build folder into a scratch folder and checks what it
# holds and declares.
# usage: check_deb.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1
build=$2
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && "$cpack" -G DEB -B "$out" >/dev/null)
debs=("$out"/morvelle_*.deb)
deb=${debs[0]}
failed=0

contents=$(dpkg-deb -c "$deb")
for path in \
    ./usr/bin/morvelle \
    ./usr/libexec/morvelle/sips \
    ./usr/libexec/morvelle/sips-engine \
    ./usr/share/morvelle/morvelle.rcc \
    ./usr/share/applications/org.example.Morvelle.desktop \
    ./usr/share/icons/hicolor/scalable/apps/org.example.Morvelle.svg \
    ./usr/share/metainfo/org.example.Morvelle.metainfo.xml; do
    if ! grep -qE "^-[rwx-]{9} .* ${path//./\\.}\$" <<<"$contents"; then
        echo "the package lacks $path"
        failed=1
    fi
done
for program in ./usr/bin/morvelle ./usr/libexec/morvelle/sips ./usr/libexec/morvelle/sips-engine; do
    if ! grep -qE "^-rwxr-xr-x .* ${program//./\\.}\$" <<<"$contents"; then
        echo "$program is not executable"
        failed=1
    fi
done

field() { dpkg-deb -f "$deb" "$1"; }
expect() {
    if [ "$(field "$1")" != "$2" ]; then
        echo "$1 is '$(field "$1")', not '$2'"
        failed=1
    fi
}
expect Package morvelle
expect Version 3.6.1.2
expect Section graphics
expect Maintainer "Morvelle developers <support@morvelle.example>"
for dependency in libqt6widgets6 libqt6svg6 libvips42 fonts-liberation2; do
    if ! grep -qE "(^|, )$dependency( |,|\$)" <<<"$(field Depends)"; then
        echo "Depends does not name $dependency: $(field Depends)"
        failed=1
    fi
done

if [ "$failed" -ne 0 ]; then
    echo "$contents"
fi
exit "$failed"
