#!/usr/bin/env bash
# Two builds of the command line side by side on the same data: the splits
# a change to the split can slow down. Each round runs every case with both
# builds, alternating which goes first, from a settled disk (sync, a pause);
# the table gives medians with min-max, and after/before.
#
#   bench/builds.sh BEFORE_PARCELOR AFTER_PARCELOR [--rounds N] [--files N]
#   (BENCH=path/to/parcelor-bench when build/ has none)
#
# Cases: a 1 GiB file without and with checksum files, a tree of small files
# (20,000 by default, 0 to 20 KB) without and with them, the 1 GiB file
# encrypted, with 2 recovery pieces, and read from standard input. Pieces of
# 64 MiB (the tree's too).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
[ $# -ge 2 ] || { sed -n 2,13p "$0" >&2; exit 2; }
before=$(realpath "$1") after=$(realpath "$2"); shift 2
ROUNDS=5 FILES=20000
while [ $# -gt 0 ]; do
    case $1 in --rounds) ROUNDS=$2; shift 2 ;; --files) FILES=$2; shift 2 ;; *) exit 2 ;; esac
done
BENCH=${BENCH:-$PWD/build/bench/parcelor-bench} # makes the data
work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-builds.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"
"$BENCH" make-file big.bin $((1024 * 1024 * 1024)) 1 >/dev/null
"$BENCH" make-tree tree "$FILES" 20480 2 >/dev/null
printf 'bench pass phrase\n' > pw
PIECE=64M

cases=("file" "file + sums" "tree" "tree + sums" "file --encrypt" "file + 2 recovery"
       "standard input")
# one NAME BUILD: the case NAME with the command line BUILD, into a fresh folder.
one() {
    local name=$1 p=$2 side=$3
    rm -rf out; mkdir out
    case $name in
    "file") run "$name ($side)" "$p" split -q --no-checksums -b $PIECE big.bin out ;;
    "file + sums") run "$name ($side)" "$p" split -q -b $PIECE big.bin out ;;
    "tree") run "$name ($side)" "$p" split -q --no-checksums -b $PIECE tree out ;;
    "tree + sums") run "$name ($side)" "$p" split -q -b $PIECE tree out ;;
    "file --encrypt") run "$name ($side)" "$p" split -q --encrypt --password-file pw -b $PIECE big.bin out ;;
    "file + 2 recovery") run "$name ($side)" "$p" split -q --recovery 2 -b $PIECE big.bin out ;;
    "standard input") run "$name ($side)" sh -c "\"\$0\" split -q -b $PIECE --name big - out < big.bin" "$p" ;;
    esac
    rm -rf out
}
for i in $(seq "$ROUNDS"); do
    echo "Round $i of $ROUNDS..." >&2
    for name in "${cases[@]}"; do
        if [ $((i % 2)) -eq 1 ]; then
            one "$name" "$before" before; one "$name" "$after" after
        else
            one "$name" "$after" after; one "$name" "$before" before
        fi
    done
done

printf '\n%-20s %-22s %-22s %-8s %s\n' "split" "before (s)" "after (s)" "after/before" "peak RSS before/after (KB)"
for name in "${cases[@]}"; do
    read -r bm blo bhi <<<"$(stats "${times[$name (before)]}")"
    read -r am alo ahi <<<"$(stats "${times[$name (after)]}")"
    read -r br _ _ <<<"$(stats "${rss[$name (before)]}")"
    read -r ar _ _ <<<"$(stats "${rss[$name (after)]}")"
    printf '%-20s %-22s %-22s %-8s %s\n' "$name" "$bm ($blo-$bhi)" "$am ($alo-$ahi)" \
        "$(ratio "$am" "$bm")" "$br / $ar"
done
