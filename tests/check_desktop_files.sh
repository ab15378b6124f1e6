#!/usr/bin/env bash
# Installs the build into a scratch prefix and runs the desktop's validators on the launcher
# entry and the AppStream metainfo as installed. They must report nothing: a non-zero exit,
# any output of desktop-file-validate, or an error, warning or info line of appstreamcli
# fails the test.
# The metainfo's newest release is the project's version, and it shows a screenshot.
# usage: check_desktop_files.sh CMAKE BUILD_DIR VERSION
set -euo pipefail
cmake=$1
build=$2
version=$3
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
"$cmake" --install "$build" --prefix "$root/usr" >/dev/null

desktop=$root/usr/share/applications/org.example.Morvelle.desktop
metainfo=$root/usr/share/metainfo/org.example.Morvelle.metainfo.xml
icon=$root/usr/share/icons/hicolor/scalable/apps/org.example.Morvelle.svg
failed=0

if ! out=$(desktop-file-validate "$desktop" 2>&1) || [ -n "$out" ]; then
    echo "desktop-file-validate $desktop:"
    echo "$out"
    failed=1
fi

for args in "validate --no-net $metainfo" "validate-tree --no-net $root"; do
    # shellcheck disable=SC2086 # args is a list of words
    if ! out=$(appstreamcli $args 2>&1) || grep -qE '^[EWI]: ' <<<"$out"; then
        echo "appstreamcli $args:"
        echo "$out"
        failed=1
    fi
done

newest=$(grep -m1 -oE '<release version="[^"]*"' "$metainfo" | cut -d'"' -f2)
if [ "$newest" != "$version" ]; then
    echo "the metainfo's newest release is '$newest', not $version"
    failed=1
fi
if ! grep -qE '<screenshot type="default">' "$metainfo"; then
    echo "the metainfo shows no screenshot"
    failed=1
fi

if [ ! -f "$icon" ]; then
    echo "the launcher's icon is not installed in the hicolor theme"
    failed=1
fi
exit "$failed"
