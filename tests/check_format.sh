#!/usr/bin/env bash
# Every C++ source file that git tracks is formatted as .clang-format says, includes in
# their groups and order too. Prints clang-format's complaints and fails on any.
# usage: check_format.sh CLANG_FORMAT SOURCE_DIR
set -euo pipefail
clang_format=$1
cd "$2"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    mapfile -t sources < <(git ls-files -- '*.cpp' '*.h')
else
    # An unpacked copy without its history: every source outside the build folders.
    mapfile -t sources < <(find . -path './build*' -prune -o -type f \( -name '*.cpp' -o -name '*.h' \) -print)
fi
if [ ${#sources[@]} -eq 0 ]; then
    echo "no sources found in $PWD"
    exit 1
fi
"$clang_format" --dry-run -Werror "${sources[@]}"
