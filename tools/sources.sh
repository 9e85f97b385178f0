#!/usr/bin/env bash
# Lists the C++ sources: from git in a checkout, else (a tarball) from the folders.
set -euo pipefail
cd "$(dirname "$0")/.."
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files '*.cpp' '*.h'
else
    find core relay links hub ui app server lantool tests bench \( -name '*.cpp' -o -name '*.h' \) -print
fi
