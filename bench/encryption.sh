#!/usr/bin/env bash
# What encryption costs: the encrypted split and join against the checksummed
# split and the join with the full check of the same file, and against the
# careful user's pipeline (age -e -p, then split, then sha256sum of the
# pieces; age's prompt answered through a pseudo-terminal). Medians of
# interleaved rounds, with min-max; the key derivation's own time apart.
#
#   bench/encryption.sh [--rounds N] [--gib G]   (default 3 rounds, 4 GiB and 1 GiB)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
ROUNDS=3; SIZES="4 1"
while [ $# -gt 0 ]; do
    case $1 in --rounds) ROUNDS=$2; shift 2 ;; --gib) SIZES=$2; shift 2 ;; *) exit 2 ;; esac
done
prepare age encryption age
AGE="python3 $PWD/tests/support/age_with_passphrase.py"
cd "$work"
printf 'bench pass phrase\n' > pw
PIECE=$((512 * 1024 * 1024))


for g in $SIZES; do
    "$BENCH" make-file src.bin $((g * 1024 * 1024 * 1024)) 1 >/dev/null
    for i in $(seq "$ROUNDS"); do
        echo "$g GiB, round $i of $ROUNDS..." >&2
        rm -rf c e t cj ej; mkdir c e t cj ej
        run "$g GiB split + sums" "$P" split -q -b $PIECE src.bin c
        run "$g GiB split --encrypt" "$P" split -q --encrypt --password-file pw -b $PIECE src.bin e
        run "$g GiB age | split | sha256sum" sh -c "$AGE 'bench pass phrase' -e -p -o t/src.age src.bin && split -b $PIECE t/src.age t/src.age. && rm t/src.age && (cd t && sha256sum src.age.* > SHA256SUMS)"
        run "$g GiB join + check" "$P" join -q c/src_spt cj
        run "$g GiB join encrypted" "$P" join -q --password-file pw e/src_spt ej
        cmp -s src.bin ej/src.bin || { echo "the encrypted round trip differs" >&2; exit 1; }
    done
    rm -rf c e t cj ej src.bin
done
# The key derivation alone: an encrypted split of an empty file.
: > empty.bin
for i in 1 2 3; do rm -rf k; mkdir k; run "key derivation (empty file)" "$P" split -q --encrypt --password-file pw empty.bin k; done
truncate -s 8G sparse.bin
mkdir s8 && run "8 GiB sparse split --encrypt" "$P" split -q --encrypt --password-file pw -b $PIECE sparse.bin s8 && rm -rf s8 sparse.bin

printf '\n%-34s %s\n' "operation" "seconds: median (min-max), peak RSS"
for op in "${!times[@]}"; do
    read -r m lo hi <<<"$(stats "${times[$op]}")"; read -r r _ _ <<<"$(stats "${rss[$op]}")"
    printf '%-34s %-22s %s KB\n' "$op" "$m ($lo-$hi)" "$r"
done | sort
echo
for g in $SIZES; do
    echo "$g GiB: encrypted split / split + sums:   $(ratio "$(med "$g GiB split --encrypt")" "$(med "$g GiB split + sums")")   (target <= 1.0)"
    echo "$g GiB: encrypted join / join + check:    $(ratio "$(med "$g GiB join encrypted")" "$(med "$g GiB join + check")")   (target <= 1.0)"
    echo "$g GiB: encrypted split / age pipeline:   $(ratio "$(med "$g GiB split --encrypt")" "$(med "$g GiB age | split | sha256sum")")   (target <= 0.7)"
done
