#!/usr/bin/env bash
# What verify and repair take, in wall time and peak memory (/usr/bin/time -v),
# on a recovery header that claims more than its set, and on a large genuine set.
#
#   bench/hostile-recovery.sh [--gib N]   the genuine set from a sparse file of N GiB (64)
#
# The hostile header: a 300 KB file in 50 KB pieces with 1 recovery piece,
# its header made to claim 1 GiB stripes and 1 GiB columns, its own SHA-256
# made again. The genuine set: the sparse file in 1,000 pieces with
# --recovery 10, verified whole, then repaired with one piece deleted. The
# split writes every piece in full; behind it, the zeros of each finished
# piece are given back to the disk (fallocate --dig-holes), which changes no
# byte of it, so the set takes little room. The recovery pieces, written
# last, stay as they are.
#
# One line a run: exit status, wall time, peak resident KB, what it said first.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
GIB=64
[ "${1:-}" = "--gib" ] && GIB=$2
prepare fallocate hostile-recovery util-linux
cd "$work"

measure() {
    local name=$1 status=0; shift
    sync; sleep 1
    /usr/bin/time -v -o timing "$@" >/dev/null 2>said || status=$?
    local secs kb
    secs=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' timing)
    kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' timing)
    printf '%-42s exit %s %10s %10s KB  %s\n' "$name" "$status" "$secs" "$kb" \
        "$(head -n 1 said | cut -c 1-110)"
}

"$BENCH" make-file small.bin 300000 1
mkdir small && "$P" split -q -b 50000 --recovery 1 small.bin small
measure "verify, genuine 300 KB set" "$P" verify small/small_spt
cp -r small hostile
for header in hostile/small_spt/*.rec.hdr; do
    "$BENCH" claim-stripes "$header" $((1 << 30)) $((1 << 30))
done
cp -r hostile hostile2
measure "verify, header claiming 1 GiB stripes" "$P" verify hostile/small_spt
measure "repair, header claiming 1 GiB stripes" "$P" repair hostile2/small_spt
rm -rf small hostile hostile2

truncate -s "${GIB}G" big.bin
mkdir genuine
"$P" split -q -n 1000 --recovery 10 big.bin genuine &
split=$!
declare -A dug
dig() {
    # Every piece but the newest is finished (the split writes them in order).
    local newest="" piece
    newest=$(find genuine -name 'big_*.spt' -printf '%T@ %p\n' | sort -n | tail -n 1 | cut -d' ' -f2-)
    while IFS= read -r piece; do
        [ -n "$piece" ] && [ "$piece" != "$newest" ] && [ -z "${dug[$piece]:-}" ] || continue
        fallocate --dig-holes "$piece" 2>/dev/null && dug[$piece]=1 || true
    done < <(find genuine -name 'big_*.spt')
}
while kill -0 "$split" 2>/dev/null; do dig; sleep 2; done
wait "$split"
for piece in genuine/big_spt/big_*.spt; do fallocate --dig-holes "$piece"; done
shape=$(ls genuine/big_spt | grep -c '\.spt$')" pieces, "$(ls genuine/big_spt | grep -c '\.rec$')" recovery"
echo "genuine set: $shape, $(du -sh genuine | cut -f1) on disk"
measure "verify, ${GIB} GiB in 1,000 pieces" "$P" verify genuine/big_spt
rm genuine/big_spt/big_500.spt
measure "repair, ${GIB} GiB, 1 piece missing" "$P" repair genuine/big_spt
