#!/usr/bin/env bash
# Builds the Debian package from the build folder into a scratch folder and checks what it
# holds and declares: the files, the hardening and stripping of every program in it, a
# Depends that names each package once, the copyright file and changelog, and a lintian
# report with no error and no warning.
# usage: check_deb.sh CPACK BUILD_DIR VERSION
set -euo pipefail
cpack=$1
build=$2
version=$3
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
(cd "$build" && "$cpack" -G DEB -B "$out" >/dev/null)
debs=("$out"/morvelle_*.deb)
deb=${debs[0]}
failed=0
fail() {
    echo "$*"
    failed=1
}

contents=$(dpkg-deb -c "$deb")
for path in \
    ./usr/bin/morvelle \
    ./usr/libexec/morvelle/sips \
    ./usr/libexec/morvelle/sips-engine \
    ./usr/share/morvelle/morvelle.rcc \
    ./usr/share/applications/org.example.Morvelle.desktop \
    ./usr/share/icons/hicolor/scalable/apps/org.example.Morvelle.svg \
    ./usr/share/metainfo/org.example.Morvelle.metainfo.xml \
    ./usr/share/doc/morvelle/copyright \
    ./usr/share/doc/morvelle/changelog.gz \
    ./usr/share/man/man1/morvelle.1.gz \
    ./usr/share/man/man1/sips.1.gz; do
    grep -qE "^-[rwx-]{9} .* ${path//./\\.}\$" <<<"$contents" || fail "the package lacks $path"
done

# Every program the package installs, whatever programs it holds: executable, stripped of
# debugging symbols and unneeded sections, and hardened as Debian's own programs are.
tree=$out/tree
dpkg-deb -x "$deb" "$tree"
programs=$(find "$tree/usr/bin" "$tree/usr/libexec" -type f)
for program in $programs; do
    name=${program#"$tree"}
    [ -x "$program" ] || fail "$name is not executable"
    sections=$(readelf -S -W "$program")
    for section in .symtab .comment .note '.debug_[a-z]*'; do
        ! grep -qE "] ${section//./\\.} " <<<"$sections" || fail "$name keeps its $section section"
    done
    grep -qE "BIND_NOW|Flags: .*NOW" <<<"$(readelf -d "$program")" || fail "$name is not linked with -z now"
    grep -q "GNU_RELRO" <<<"$(readelf -l -W "$program")" || fail "$name is not linked with -z relro"
    grep -q "DYN (Position-Independent Executable" <<<"$(readelf -h "$program")" ||
        fail "$name is not position-independent"
    symbols=$(readelf --dyn-syms -W "$program")
    grep -q " __stack_chk_fail@" <<<"$symbols" || fail "$name has no stack protector"
    # -fcf-protection marks every place an indirect branch may land.
    [ "$(objdump -d --no-show-raw-insn "$program" | grep -c endbr64)" -gt 0 ] ||
        fail "$name is not built with -fcf-protection"
done
# The tool's engine calls libc's string and printf functions: fortified, they become their
# _chk forms.
grep -q "__printf_chk@" <<<"$(readelf --dyn-syms -W "$tree/usr/libexec/morvelle/sips-engine")" ||
    fail "the tool is not built with _FORTIFY_SOURCE"

field() { dpkg-deb -f "$deb" "$1"; }
expect() {
    [ "$(field "$1")" = "$2" ] || fail "$1 is '$(field "$1")', not '$2'"
}
expect Package morvelle
expect Version "$version"
expect Section graphics
expect Maintainer "Morvelle developers <support@morvelle.example>"
depends=$(field Depends | sed 's/ *([^)]*)//g; s/, */\n/g')
for dependency in libqt6widgets6 libqt6svg6 libvips42 fonts-liberation2; do
    grep -qx "$dependency" <<<"$depends" || fail "Depends does not name $dependency: $(field Depends)"
done
twice=$(sort <<<"$depends" | uniq -d)
[ -z "$twice" ] || fail "Depends names more than once: $twice"

copyright=$tree/usr/share/doc/morvelle/copyright
head -1 "$copyright" | grep -qx "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ||
    fail "the copyright file is not in the machine-readable format"
changelog=$tree/usr/share/doc/morvelle/changelog.gz
# gzip -n leaves the header's time stamp at zero and stores no name.
[ "$(od -An -tx1 -j3 -N5 "$changelog" | tr -d ' ')" = "0000000000" ] ||
    fail "changelog.gz carries a name or a time stamp"
zcat "$changelog" >"$out/changelog"
newest=$(dpkg-parsechangelog -l "$out/changelog" -S Version) || fail "the changelog does not parse"
[ "$newest" = "$version" ] || fail "the changelog's newest entry is $newest, not $version"

# Errors and warnings fail; informational and pedantic tags are explained in the packaging file.
# lintian leaves a scratch file of its own in its temporary folder: that is ours, and goes.
mkdir "$out/scratch"
report=$(TMPDIR="$out/scratch" lintian --pedantic --info "$deb" 2>&1) || true
if grep -qE '^[EW]: ' <<<"$report"; then
    fail "lintian: $report"
fi

if [ "$failed" -ne 0 ]; then
    echo "$contents"
fi
exit "$failed"
