#!/usr/bin/env bash
# What recovery pieces cost, side by side with par2 on the same pieces, in one
# run: medians of interleaved rounds, with min-max.
#
#   bench/recovery.sh [--rounds N]   a 1 GiB file in 16 pieces, 2 recovery pieces
#
# Ratios reported: the split with recovery against the checksummed split; the
# time recovery adds against par2's create of the same 2 pieces' worth; the
# repair of 2 deleted pieces against par2's (warm and cold page cache); a join
# that rebuilds 1 missing piece on the fly against the join of the intact
# set; and the peak memory of the split and the repair from 1 GiB to 8 GiB.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
ROUNDS=5
[ "${1:-}" = "--rounds" ] && ROUNDS=$2
prepare par2 recovery par2
cd "$work"
PIECE=$((64 * 1024 * 1024))
"$BENCH" make-file big.bin $((1024 * 1024 * 1024)) 1
truncate -s 8G sparse.bin

cold() { sync; echo 3 > /proc/sys/vm/drop_caches 2>/dev/null || true; }

for i in $(seq "$ROUNDS"); do
    echo "Round $i of $ROUNDS..." >&2
    rm -rf s r p j1 j2 k; mkdir s r p j1 j2 k
    if [ $((i % 2)) -eq 1 ]; then
        run "split + sums" "$P" split -q -b $PIECE big.bin s
        run "split + sums + 2 recovery" "$P" split -q -b $PIECE --recovery 2 big.bin r
    else
        run "split + sums + 2 recovery" "$P" split -q -b $PIECE --recovery 2 big.bin r
        run "split + sums" "$P" split -q -b $PIECE big.bin s
    fi
    cp s/big_spt/big_*.spt p/
    run "par2 create" sh -c "cd p && par2 create -q -q -s$PIECE -c2 big.par2 big_*.spt"

    # The join pair on two copies of the set, one missing a piece, in
    # alternating order: whoever goes second pays the first's writeback.
    rm -rf q; mkdir q; cp -r r/big_spt q/; rm q/big_spt/big_5.spt
    if [ $((i % 2)) -eq 1 ]; then
        run "join, intact" "$P" join -q r/big_spt j1
        run "join, 1 rebuilt" "$P" join -q q/big_spt j2
    else
        run "join, 1 rebuilt" "$P" join -q q/big_spt j2
        run "join, intact" "$P" join -q r/big_spt j1
    fi
    cmp -s big.bin j2/big.bin || { echo "the rebuilt join differs" >&2; exit 1; }
    rm -rf q

    rm r/big_spt/big_5.spt r/big_spt/big_9.spt p/big_5.spt p/big_9.spt
    run "repair 2 (warm)" "$P" repair -q r/big_spt
    run "par2 repair 2 (warm)" sh -c "cd p && par2 repair -q -q big.par2"
    rm r/big_spt/big_5.spt r/big_spt/big_9.spt p/big_5.spt p/big_9.spt p/*.1 2>/dev/null || true
    cold; run "repair 2 (cold)" "$P" repair -q r/big_spt
    cold; run "par2 repair 2 (cold)" sh -c "cd p && par2 repair -q -q big.par2"
    (cd r/big_spt && sha256sum --quiet -c SHA256SUMS) || { echo "the repaired set differs" >&2; exit 1; }
done
rm -rf s r p j1 j2
mkdir big8 && run "split 8 GiB sparse + 2 recovery" "$P" split -q -b 512M --recovery 2 sparse.bin big8
rm big8/sparse_spt/sparse_3.spt
run "repair 8 GiB sparse" "$P" repair -q big8/sparse_spt
rm -rf big8

row() { read -r m lo hi <<<"$(stats "${times[$1]}")"; printf '%-34s %-22s\n' "$1" "$m ($lo-$hi)"; }
printf '\n%-34s %s\n' "operation" "seconds: median (min-max)"
for op in "split + sums" "split + sums + 2 recovery" "par2 create" "join, intact" "join, 1 rebuilt" \
          "repair 2 (warm)" "par2 repair 2 (warm)" "repair 2 (cold)" "par2 repair 2 (cold)"; do row "$op"; done
s=$(med "split + sums"); r=$(med "split + sums + 2 recovery"); c=$(med "par2 create")
echo
echo "split with recovery / without:          $(ratio "$r" "$s")   (target <= 1.3)"
echo "time recovery adds / par2 create:       $(ratio "$(awk -v a="$r" -v b="$s" 'BEGIN{print a-b}')" "$c")   (target <= 0.1)"
echo "repair / par2 repair, warm:             $(ratio "$(med "repair 2 (warm)")" "$(med "par2 repair 2 (warm)")")   (target <= 0.1)"
echo "repair / par2 repair, cold:             $(ratio "$(med "repair 2 (cold)")" "$(med "par2 repair 2 (cold)")")   (target <= 0.1)"
echo "join rebuilding 1 / intact join:        $(ratio "$(med "join, 1 rebuilt")" "$(med "join, intact")")   (target <= 1.5)"
read -r a _ _ <<<"$(stats "${rss[split + sums + 2 recovery]}")"
read -r b _ _ <<<"$(stats "${rss[split 8 GiB sparse + 2 recovery]}")"
read -r c2 _ _ <<<"$(stats "${rss[repair 2 (warm)]}")"
read -r d _ _ <<<"$(stats "${rss[repair 8 GiB sparse]}")"
echo "peak RSS, split: ${a} KB (1 GiB), ${b} KB (8 GiB sparse); repair: ${c2} KB (1 GiB), ${d} KB (8 GiB sparse)"
