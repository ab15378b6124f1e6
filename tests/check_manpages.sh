#!/usr/bin/env bash
# The manual pages as built: man reads them without a warning, and sips(1)'s OPTIONS name
# exactly the options that `sips --help` lists, no more and no fewer.
# usage: check_manpages.sh SIPS MAN_DIR
set -euo pipefail
sips=$1
man_dir=$2
failed=0

for page in "$man_dir"/morvelle.1 "$man_dir"/sips.1; do
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
    if [ -n "$warnings" ]; then
        echo "man warns about $page:"
        echo "$warnings"
        failed=1
    fi
done

# The options are the words that start with a dash in the option lines of --help (the lines
# that begin with blanks and a dash), before the two blanks that start the description.
from_help=$("$sips" --help | grep -E '^ +-' | sed -E 's/^ +//; s/  .*//' |
    grep -oE '(^|[ ,])--?[A-Za-z]+' | tr -d ' ,' | sort -u)
# In the page, the tags of the OPTIONS section: the line after each .TP, until the next .SH.
from_page=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$man_dir/sips.1" | sed -n '/^\.TP/{n;p}' |
    sed -E 's/\\f[BIRP]//g; s/\\-/-/g' | grep -oE '(^|[ ,])--?[A-Za-z]+' | tr -d ' ,' | sort -u)
if [ -z "$from_help" ] || [ "$from_help" != "$from_page" ]; then
    echo "sips --help and sips(1) list different options"
    diff <(echo "$from_help") <(echo "$from_page") || true
    failed=1
fi
exit "$failed"
