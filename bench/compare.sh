#!/usr/bin/env bash
# Two builds of the command line side by side: a commit before a change (BASE)
# and the working tree, each run in turn on the same data, `sync` between
# runs, the order of the two reversed from one round to the next. The table
# gives medians (with min-max) and the change against BASE. Every join's
# output is compared with its source.
#
#   bench/compare.sh BASE [--rounds N] [--mib M] [--files F]
#     BASE      a commit (built in a worktree of its own, build-compare-base/)
#     --rounds  runs of each operation and build (default 5)
#     --mib     the size of the file source in MiB (default 1024)
#     --files   files in the tree source (default 1000000, up to 4 KiB each)
#
# Operations: split with and without checksums, the join with its full check,
# the split with recovery pieces, the encrypted split and join, and the split
# and join of the tree. Disk: about 5 times the file and twice the tree.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
base=${1:?usage: bench/compare.sh BASE [--rounds N] [--mib M] [--files F]}
shift
rounds=5 mib=1024 files=1000000
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) rounds=$2; shift 2 ;;
    --mib) mib=$2; shift 2 ;;
    --files) files=$2; shift 2 ;;
    *) echo "compare.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
. bench/lib.sh

make build >/dev/null
NEW=$ROOT/build/cli/parcelor
BENCH=$ROOT/build/bench/parcelor-bench
basetree=$ROOT/build-compare-base/src
rm -rf "$basetree"
git worktree add -q --detach "$basetree" "$base"
cleanup() { git -C "$ROOT" worktree remove --force "$basetree" >/dev/null 2>&1 || true; rm -rf "${work:-}"; }
trap cleanup EXIT
cmake -S "$basetree" -B "$ROOT/build-compare-base/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPARCELOR_BUILD_TESTS=OFF >/dev/null
cmake --build "$ROOT/build-compare-base/build" --target parcelor >/dev/null
OLD=$ROOT/build-compare-base/build/cli/parcelor

work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-compare.XXXXXX")
cd "$work"
echo "Making data in $work (seeded)..." >&2
"$BENCH" make-file big.bin $((mib * 1024 * 1024)) 1
per=$((files < 1000 ? files : 1000))
"$BENCH" make-many-files tree $(((files + per - 1) / per)) "$per" 4096 2
PIECE=$((64 * 1024 * 1024))
printf 'compare-bench\n' >password

# op NAME CMD...: `run`, and the end of the bench when the command fails.
op() {
    local name=$1; shift
    run "$name" "$@" || { echo "compare: $name failed: $*" >&2; exit 1; }
}

# one BUILD LABEL PROGRAM: every operation once with PROGRAM, timed as "LABEL op".
one() {
    local label=$1 p=$2 o=out-$1
    rm -rf "$o"; mkdir -p "$o"/{plain,sums,joined,rec,enc,dec,tree,treejoined}
    op "$label split" "$p" split -q --no-checksums -b $PIECE big.bin "$o/plain"
    op "$label split + sums" "$p" split -q -b $PIECE big.bin "$o/sums"
    op "$label join + check" "$p" join -q "$o/sums/big_spt" "$o/joined"
    cmp -s big.bin "$o/joined/big.bin" || { echo "$label: the joined file differs" >&2; exit 1; }
    op "$label split + recovery" "$p" split -q --recovery=2 -b $PIECE big.bin "$o/rec"
    op "$label encrypted split" "$p" split -q --encrypt --password-file=password \
        -b $PIECE big.bin "$o/enc"
    op "$label encrypted join" "$p" join -q --password-file=password "$o/enc/big_spt" "$o/dec"
    cmp -s big.bin "$o/dec/big.bin" || { echo "$label: the decrypted file differs" >&2; exit 1; }
    op "$label tree split + sums" "$p" split -q -b $PIECE tree "$o/tree"
    op "$label tree join + check" "$p" join -q "$o/tree/tree_spt" "$o/treejoined"
    diff -r tree "$o/treejoined/tree" >/dev/null || { echo "$label: the joined tree differs" >&2; exit 1; }
    rm -rf "$o"
}

for ((r = 1; r <= rounds; r++)); do
    echo "round $r of $rounds" >&2
    if ((r % 2)); then one base "$OLD"; one new "$NEW"; else one new "$NEW"; one base "$OLD"; fi
done

# table TITLE ARRAY: medians (min-max) of both builds, and the change.
table() {
    local -n values=$2
    printf '%s\n%-22s %22s %22s %8s\n' "$1" operation "base $(git -C "$ROOT" rev-parse --short "$base")" new change
    for op in "split" "split + sums" "join + check" "split + recovery" "encrypted split" \
        "encrypted join" "tree split + sums" "tree join + check"; do
        read -r bm bl bh <<<"$(stats "${values[base $op]}")"
        read -r nm nl nh <<<"$(stats "${values[new $op]}")"
        printf '%-22s %10s (%s-%s) %10s (%s-%s) %7s%%\n' "$op" "$bm" "$bl" "$bh" "$nm" "$nl" "$nh" \
            "$(awk -v a="$nm" -v b="$bm" 'BEGIN { printf "%+.1f", (b > 0 ? (a - b) * 100 / b : 0) }')"
    done
}
# Wall time is what a user waits; processor time (user and system) is the
# work done, and holds still on a machine that is running other things.
table "wall seconds" times
table "processor seconds" cpu
