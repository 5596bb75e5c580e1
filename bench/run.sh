#!/usr/bin/env bash
# Side-by-side timings of the engine against the command-line tools people use
# today, on the same machine in one run. Each pair is interleaved and repeated;
# the table gives medians, with min-max. Every join's output is checked.
#
#   bench/run.sh           full data: a 1 GiB file, 20,000 files (~200 MB)
#   bench/run.sh --quick   small data, under a minute
#   bench/run.sh --scale [--rounds N]   the command line on 10^6 small files
#                          (bench/scale.sh; SCALE_FILES=N for fewer)
#   bench/run.sh --recovery [--rounds N]  recovery pieces against par2
#                          (bench/recovery.sh)
#   bench/run.sh --encryption [--rounds N] [--gib G]  encrypted sets against
#                          the checksummed split and age | split (bench/encryption.sh)
#   bench/run.sh --mount-encrypted [--rounds N] [--gib G]  a mount of an
#                          encrypted set: its start and a read through it
#                          against the encrypted join (bench/mount-encrypted.sh)
#   bench/run.sh --compare BASE [--rounds N] [--mib M] [--files F]  this tree
#                          against the build of an earlier commit, alternately
#                          (bench/compare.sh)
set -euo pipefail
cd "$(dirname "$0")/.."

[ "${1:-}" = "--scale" ] && { shift; exec bench/scale.sh "$@"; }
[ "${1:-}" = "--recovery" ] && { shift; exec bench/recovery.sh "$@"; }
[ "${1:-}" = "--encryption" ] && { shift; exec bench/encryption.sh "$@"; }
[ "${1:-}" = "--mount-encrypted" ] && { shift; exec bench/mount-encrypted.sh "$@"; }
[ "${1:-}" = "--compare" ] && { shift; exec bench/compare.sh "$@"; }

quick=0
[ "${1:-}" = "--quick" ] && quick=1
if [ $quick -eq 1 ]; then
    FILE_MB=128; TREE_FILES=2000; REPEAT=3; FOLDER_REPEAT=3; SPARSE_MB=512; SETTLE=0
else
    FILE_MB=1024; TREE_FILES=20000; REPEAT=5; FOLDER_REPEAT=9; SPARSE_MB=4096; SETTLE=1
fi
PIECE=$((64 * 1024 * 1024))   # 64 MiB pieces for both sides
SET_PIECES=2000

command -v /usr/bin/time >/dev/null || {
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq && $sudo apt-get install -y -qq time
}
make build >/dev/null
BENCH=$PWD/build/bench/parcelor-bench

work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "Making data in $work (seeded)..." >&2
"$BENCH" make-file big.bin $((FILE_MB * 1024 * 1024)) 1
"$BENCH" make-tree tree "$TREE_FILES" 20480 2
"$BENCH" make-file small.bin $((SET_PIECES * 4096)) 3
mkdir set && "$BENCH" split "$work/small.bin" "$work/set" 4096 >/dev/null
truncate -s "${SPARSE_MB}M" sparse.bin

declare -A times rss
# run NAME CMD...: wall seconds and peak resident KB of one run, kept under NAME.
run() {
    local name=$1; shift
    sync; sleep "$SETTLE" # start from a settled disk
    /usr/bin/time -f "%e %M" -o timing "$@" >/dev/null
    read -r secs kb < timing
    times[$name]+="$secs "
    rss[$name]+="$kb "
}
fresh() { rm -rf "$1"; mkdir -p "$1"; }
stats() { # median min max of a list of numbers
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{a[NR]=$1} END {printf "%s %s %s", a[int((NR+1)/2)], a[1], a[NR]}'
}

# Both sides of a pair, in the given order: "ours" first or "theirs" first.
pair() {
    local first=$1 op=$2 ours=$3 theirs=$4
    if [ "$first" = ours ]; then
        eval "$ours"; eval "$theirs"
    else
        eval "$theirs"; eval "$ours"
    fi
}

for i in $(seq "$REPEAT"); do
    echo "Round $i of $REPEAT..." >&2
    # Whoever goes first pays for the writeback the previous step left
    # behind, so the order alternates from round to round.
    first=ours; [ $((i % 2)) -eq 0 ] && first=theirs
    rm -rf o1 o2 o3 o4 j1 j2 j3 j4 s1 s2

    # Without checksum files, against split and cat.
    pair $first "file split" \
        'fresh o1; run "file split (ours)" "$BENCH" split-plain "$work/big.bin" "$work/o1" $PIECE' \
        'fresh o2; run "file split (theirs)" split -b $PIECE big.bin o2/big.bin.'
    pair $first "file join" \
        'fresh j1; run "file join (ours)" "$BENCH" join "$work/o1/big_spt" "$work/j1"' \
        'fresh j2; run "file join (theirs)" sh -c "cat o2/big.bin.* > j2/big.bin"'
    cmp -s big.bin j1/big.bin || { echo "file join (ours) differs" >&2; exit 1; }
    cmp -s big.bin j2/big.bin || { echo "file join (theirs) differs" >&2; exit 1; }

    # With checksums: what a careful user runs today for the same result.
    pair $first "file split + sums" \
        'fresh o3; run "file split + sums (ours)" "$BENCH" split "$work/big.bin" "$work/o3" $PIECE' \
        'fresh o4; run "file split + sums (theirs)" sh -c "split -b $PIECE big.bin o4/big.bin. && (cd o4 && sha256sum big.bin.* > SHA256SUMS) && sha256sum big.bin > o4/CONTENTS.sha256"'
    pair $first "file join + check" \
        'fresh j3; run "file join + check (ours)" "$BENCH" join "$work/o3/big_spt" "$work/j3"' \
        'fresh j4; run "file join + check (theirs)" sh -c "cd o4 && sha256sum --quiet -c SHA256SUMS && cat big.bin.* > ../j4/big.bin"'
    cmp -s big.bin j3/big.bin || { echo "file join + check (ours) differs" >&2; exit 1; }
    cmp -s big.bin j4/big.bin || { echo "file join + check (theirs) differs" >&2; exit 1; }

    inspect_ms=$("$BENCH" inspect "$work/set/small_spt" | awk '/pieces/ {print $4}')
    times["inspection"]+="$inspect_ms "

    fresh s1; run "split ${FILE_MB} MiB" "$BENCH" split "$work/big.bin" "$work/s1" $PIECE
    fresh s2; run "split ${SPARSE_MB} MiB sparse" "$BENCH" split "$work/sparse.bin" "$work/s2" $PIECE
done
rm -rf o1 o2 o3 o4 j1 j2 j3 j4 s1 s2

# The folder pairs get rounds of their own: a second of the file rounds' 1 GiB
# writeback, or the removal of the last round's 20,000 files, outweighs the
# work being measured. Each round starts from a settled disk with the bytes to
# be read in the cache, for both sides alike.
settle() { sync; sleep $((SETTLE * 3)); }
warm() { find "$@" -type f -print0 | xargs -0 cat >/dev/null; }
for i in $(seq "$FOLDER_REPEAT"); do
    echo "Folder round $i of $FOLDER_REPEAT..." >&2
    first=ours; [ $((i % 2)) -eq 0 ] && first=theirs
    rm -rf t1 t2 k1 k2; settle; warm tree
    pair $first "folder split" \
        'fresh t1; run "folder split (ours)" "$BENCH" split-plain "$work/tree" "$work/t1" $PIECE' \
        'fresh t2; run "folder split (theirs)" sh -c "tar cf - tree | split -b $PIECE - t2/tree.tar."'
    settle; warm t1 t2
    pair $first "folder join" \
        'fresh k1; run "folder join (ours)" "$BENCH" join "$work/t1/tree_spt" "$work/k1"' \
        'fresh k2; run "folder join (theirs)" sh -c "cat t2/tree.tar.* | tar xf - -C k2"'
    diff -r tree k1/tree >/dev/null || { echo "folder join (ours) differs" >&2; exit 1; }
    diff -r tree k2/tree >/dev/null || { echo "folder join (theirs) differs" >&2; exit 1; }
done
rm -rf t1 t2 k1 k2

printf '\n%-24s %-24s %-24s %s\n' "operation" "ours (s)" "theirs (s)" "ours/theirs"
for op in "file split" "file join" "file split + sums" "file join + check" "folder split" "folder join"; do
    read -r om omin omax <<<"$(stats "${times[$op (ours)]}")"
    read -r tm tmin tmax <<<"$(stats "${times[$op (theirs)]}")"
    ratio=$(awk -v a="$om" -v b="$tm" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
    printf '%-24s %-24s %-24s %s\n' "$op" "$om ($omin-$omax)" "$tm ($tmin-$tmax)" "$ratio"
done
read -r sm _ _ <<<"$(stats "${times[file split + sums (ours)]}")"
read -r pm _ _ <<<"$(stats "${times[file split (theirs)]}")"
printf '%-24s %-24s %-24s %s\n' "split + sums vs split -b" "$sm" "$pm" \
    "$(awk -v a="$sm" -v b="$pm" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')"
read -r im imin imax <<<"$(stats "${times[inspection]}")"
printf '%-24s %-24s %-24s %s\n' "inspect $SET_PIECES pieces" "${im} ms ($imin-$imax)" "-" "-"
read -r r1 _ _ <<<"$(stats "${rss[split ${FILE_MB} MiB]}")"
read -r r2 _ _ <<<"$(stats "${rss[split ${SPARSE_MB} MiB sparse]}")"
printf '%-24s %-24s %-24s %s\n' "peak RSS of a split" "${r1} KB (${FILE_MB} MiB)" "${r2} KB (${SPARSE_MB} MiB)" "-"
