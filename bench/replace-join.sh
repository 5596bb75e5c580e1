#!/usr/bin/env bash
# A join that replaces every file of an earlier join against a join into an
# empty folder: 20,000 one-byte files, alternating, medians of 5 rounds.
#   bench/replace-join.sh [FILES]
set -euo pipefail
cd "$(dirname "$0")/.."
FILES=${1:-20000}
make build >/dev/null
CLI=$PWD/build/cli/parcelor
work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir tree
for ((d = 0; d < FILES / 1000; d++)); do
    mkdir "tree/d$d"
    for ((f = 0; f < 1000; f++)); do printf x >"tree/d$d/f$f"; done
done
"$CLI" split -q -b 1M tree . >/dev/null
timed() { # seconds of one run, from a settled disk
    sync; sleep 1
    /usr/bin/time -f %e -o t "$@" && cat t
}
new=() replace=()
for i in 1 2 3 4 5; do
    rm -rf out && mkdir out
    if [ $((i % 2)) -eq 1 ]; then
        new+=("$(timed "$CLI" join -q tree_spt out)")
        replace+=("$(timed "$CLI" join -q --replace tree_spt out)")
    else
        timed "$CLI" join -q tree_spt out >/dev/null # the files to replace
        replace+=("$(timed "$CLI" join -q --replace tree_spt out)")
        rm -rf out && mkdir out
        new+=("$(timed "$CLI" join -q tree_spt out)")
    fi
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
range() { printf '%s\n' "$@" | sort -g | awk 'NR==1{lo=$1} {hi=$1} END {print lo "-" hi}'; }
n=$(median "${new[@]}") r=$(median "${replace[@]}")
echo "join of $FILES one-byte files: new $n s ($(range "${new[@]}")), replacing $r s ($(range "${replace[@]}")), ratio $(awk -v a="$r" -v b="$n" 'BEGIN {printf "%.2f", a / b}')"
