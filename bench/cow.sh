#!/usr/bin/env bash
# Splits and joins on file systems that share blocks, against one SHA-256
# pass and GNU split and cat on the same images.
#
#   bench/cow.sh [--rounds N] [--size GIB]   (root: it makes loop devices)
#
# Makes an XFS and a btrfs image of 1.5 x SIZE + 1 GiB (default SIZE 4),
# each on a loop device with --direct-io=on (so the backing file is not
# cached twice), writes a SIZE GiB file of random bytes to each and times,
# with 64 MiB pieces, warm cache, every flush inside the timing (sync -f):
#   split --no-checksums, and GNU split -b 64M beside it (which runs out of
#   space where its parts do not fit);
#   the join of that set, and cat of its pieces;
#   the checksummed split, and one openssl dgst -sha256 of the file;
#   the checksummed join, and one openssl dgst -sha256 of the pieces;
#   the new space each takes (df before and after);
#   a count-mode split into 7 pieces, and what it shared.
# Then on the ext4 scratch folder ($TMPDIR or /tmp), a 1 GiB file: the
# checksummed split against openssl, the plain split against GNU split.
# Medians of N rounds (default 5) with the range; the two sides of a pair
# alternate which goes first. PARCELOR=path times that build instead of
# build/cli/parcelor.
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=5
SIZE=4
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) ROUNDS=$2; shift 2 ;;
    --size) SIZE=$2; shift 2 ;;
    *) echo "usage: bench/cow.sh [--rounds N] [--size GIB]" >&2; exit 2 ;;
    esac
done
[ "$(id -u)" -eq 0 ] || { echo "bench/cow.sh makes loop devices: run it as root" >&2; exit 2; }
if [ -z "${PARCELOR:-}" ]; then
    make build >/dev/null
    PARCELOR=$PWD/build/cli/parcelor
fi
P=$PARCELOR
work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-cow.XXXXXX")
declare -a mounts=() devices=()
cleanup() {
    for m in "${mounts[@]}"; do umount "$m" 2>/dev/null || umount -l "$m" || true; done
    for d in "${devices[@]}"; do losetup -d "$d" 2>/dev/null || true; done
    rm -rf "$work"
}
trap cleanup EXIT

declare -A times space failed count7 count7pieces
# timed NAME MOUNT CMD...: wall seconds of CMD and a flush of MOUNT's file
# system, from a settled disk; the new space it took, in KB.
timed() {
    local name=$1 mnt=$2; shift 2
    sync; sleep 1
    local before after
    before=$(df --output=used -k "$mnt" | tail -1)
    /usr/bin/time -f "%e" -o "$work/timing" sh -c '"$@" >/dev/null 2>&1; s=$?; sync -f "$0"; exit $s' "$mnt" "$@" || true
    after=$(df --output=used -k "$mnt" | tail -1)
    times[$name]+="$(tail -1 "$work/timing") "
    grep -q "non-zero status" "$work/timing" && failed[$name]=$((${failed[$name]:-0} + 1))
    space[$name]+="$((after - before)) "
}
stats() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{a[NR]=$1} END {printf "%s (%s-%s)", a[int((NR+1)/2)], a[1], a[NR]}'; }
med() { tr ' ' '\n' <<<"${times[$1]}" | grep . | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
medspace() { tr ' ' '\n' <<<"${space[$1]}" | grep . | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
# pair A B: runs the functions A and B once each, in the round's order.
pair() { if [ $((round % 2)) -eq 0 ]; then "$1"; "$2"; else "$2"; "$1"; fi; }

mkimage() { # KIND: mounts an image of KIND at $work/KIND
    local kind=$1 img=$work/$1.img mnt=$work/$1 dev
    truncate -s "$(( (SIZE * 3 / 2 + 1) ))G" "$img"
    dev=$(losetup -f --show --direct-io=on "$img")
    devices+=("$dev")
    if [ "$kind" = xfs ]; then mkfs.xfs -q -f "$dev"; else mkfs.btrfs -q -f "$dev" >/dev/null; fi
    mkdir -p "$mnt"
    mount "$dev" "$mnt"
    mounts+=("$mnt")
}

report() { # NAME OURS THEIRS
    local theirs="$(stats "${times[$3]}"), $(medspace "$3") KB"
    [ -n "${failed[$3]:-}" ] && theirs+=", failed ${failed[$3]} of $ROUNDS"
    [ -n "${failed[$2]:-}" ] && echo "($2 failed ${failed[$2]} of $ROUNDS)"
    printf '| %s | %s, %s KB | %s | %s |\n' "$1" "$(stats "${times[$2]}")" "$(medspace "$2")" \
        "$theirs" "$(ratio "$(med "$2")" "$(med "$3")")"
}

for kind in xfs btrfs; do
    mkimage "$kind"
    m=$work/$kind
    head -c "${SIZE}G" /dev/urandom >"$m/data.bin"
    mkdir -p "$m/out"
    warm() { cat "$m/data.bin" >/dev/null; }
    plain() { rm -rf "$m/data_spt"; warm; timed "$kind plain" "$m" "$P" split -q --no-checksums -b 64M "$m/data.bin" "$m"; }
    gnusplit() { rm -rf "$m/gnu"; mkdir "$m/gnu"; warm; timed "$kind gnu-split" "$m" split -b 64M "$m/data.bin" "$m/gnu/x"; rm -rf "$m/gnu"; }
    plainjoin() { rm -f "$m/out/data.bin"; cat "$m"/data_spt/data_*.spt >/dev/null; timed "$kind join" "$m" "$P" join -q "$m/data_spt" "$m/out"; }
    catjoin() { rm -f "$m/out/cat.bin"; cat "$m"/data_spt/data_*.spt >/dev/null; timed "$kind cat" "$m" sh -c "cat $(ls -v "$m"/data_spt/data_*.spt | tr '\n' ' ') > $m/out/cat.bin"; rm -f "$m/out/cat.bin"; }
    summed() { rm -rf "$m/data_spt"; warm; timed "$kind summed" "$m" "$P" split -q -b 64M "$m/data.bin" "$m"; }
    onepass() { warm; timed "$kind sha256" "$m" openssl dgst -sha256 "$m/data.bin"; }
    warmpieces() { cat "$m"/data_spt/data_*.spt >/dev/null; }
    summedjoin() { rm -f "$m/out/data.bin"; warmpieces; timed "$kind summed-join" "$m" "$P" join -q "$m/data_spt" "$m/out"; }
    piecespass() { warmpieces; timed "$kind sha256-pieces" "$m" openssl dgst -sha256 $(ls -v "$m"/data_spt/data_*.spt); }
    for ((round = 0; round < ROUNDS; ++round)); do
        pair plain gnusplit
        pair plainjoin catjoin
        pair summed onepass
        pair summedjoin piecespass
        rm -f "$m/out/data.bin"
    done
    rm -rf "$m/data_spt"; warm
    "$P" split --json --count=7 "$m/data.bin" "$m" >"$work/count.json" 2>/dev/null
    count7[$kind]=$(tail -1 "$work/count.json")
    count7pieces[$kind]=$(ls "$m/data_spt" | grep -c '\.spt$')
    rm -rf "$m/data_spt" "$m/data.bin"
done

e=${TMPDIR:-/tmp}/parcelor-cow-ext4.$$
mkdir -p "$e"
trap 'rm -rf "$e"; cleanup' EXIT
head -c 1G /dev/urandom >"$e/data.bin"
ewarm() { cat "$e/data.bin" >/dev/null; }
esummed() { rm -rf "$e/data_spt"; ewarm; timed "ext4 summed" "$e" "$P" split -q -b 64M "$e/data.bin" "$e"; }
eonepass() { ewarm; timed "ext4 sha256" "$e" openssl dgst -sha256 "$e/data.bin"; }
eplain() { rm -rf "$e/data_spt"; ewarm; timed "ext4 plain" "$e" "$P" split -q --no-checksums -b 64M "$e/data.bin" "$e"; }
egnu() { rm -rf "$e/gnu"; mkdir "$e/gnu"; ewarm; timed "ext4 gnu-split" "$e" split -b 64M "$e/data.bin" "$e/gnu/x"; rm -rf "$e/gnu"; }
for ((round = 0; round < ROUNDS; ++round)); do
    pair esummed eonepass
    pair eplain egnu
done

echo "$ROUNDS rounds, ${SIZE} GiB on XFS and btrfs (loop, --direct-io=on), 1 GiB on ext4; seconds: median (range), new space"
echo
echo "| Operation | Ours | Theirs | Ratio |"
echo "|---|---|---|---|"
for kind in xfs btrfs; do
    report "$kind: split --no-checksums vs GNU split -b 64M" "$kind plain" "$kind gnu-split"
    report "$kind: join of that set vs cat of its pieces" "$kind join" "$kind cat"
    report "$kind: checksummed split vs openssl dgst -sha256 of the file" "$kind summed" "$kind sha256"
    report "$kind: checksummed join vs openssl dgst -sha256 of the pieces" "$kind summed-join" "$kind sha256-pieces"
done
report "ext4: checksummed split vs openssl dgst -sha256 of the file" "ext4 summed" "ext4 sha256"
report "ext4: split --no-checksums vs GNU split -b 64M" "ext4 plain" "ext4 gnu-split"
echo
for kind in xfs btrfs; do
    echo "$kind --count=7: ${count7pieces[$kind]} pieces; ${count7[$kind]}"
done
