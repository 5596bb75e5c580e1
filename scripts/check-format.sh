#!/bin/sh
# Fails when a C++ file of the project is not as .clang-format lays it out,
# and names each place. Fix with: scripts/check-format.sh --fix
set -eu
cd "$(dirname "$0")/.."
format=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$format" ] || { echo "check-format: clang-format is not installed (scripts/install-deps.sh)" >&2; exit 2; }
if [ "${1:-}" = --fix ]; then
    git ls-files '*.cpp' '*.h' | xargs "$format" -i
else
    git ls-files '*.cpp' '*.h' | xargs "$format" --dry-run --Werror
fi
