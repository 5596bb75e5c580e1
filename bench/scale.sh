#!/usr/bin/env bash
# The command line on 10^6 small files: 1,000 folders of 1,000 files of 0 to
# 200 bytes, made once with a fixed seed. Wall time and peak resident memory
# (`/usr/bin/time -f "%e %M"`) of `parcelor split`, `join`, `list` and
# `verify` against `tar cf - | split -b` and `cat | tar xf -`, 64 MiB pieces on
# both sides; medians of the rounds with the range, the order of the sides
# reversed from one round to the next. Every join's output is compared with
# the source (`diff -r`, in the first round, outside the timings).
#
#   bench/scale.sh [--rounds N]     (bench/run.sh --scale runs it)
#
# Environment:
#   SCALE_FILES=N     files in all (default 1000000), spread over SCALE_FOLDERS
#   SCALE_FOLDERS=N   folders (default 1000)
#   SCALE_DIR=PATH    make the data there once and keep it for the next run
#                     (default: a temporary folder, removed afterwards)
#   SCALE_IMAGE=FILE  (as root) write every round's sets and joined copies in
#                     a fresh ext4 file system made in FILE and loop-mounted,
#                     dropped whole after the round: removing a tree of 10^6
#                     files takes this disk over ten minutes. The source stays
#                     where it was made. Both sides run on the same file system.
#   PARCELOR=, BENCH= other builds of the command line and of the driver
# Disk: about 4 GB for the source, as much for each of the three joined
# copies, 1 GB for tar's pieces; 10^6 inodes per tree.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=5
while [ $# -gt 0 ]; do
    case $1 in
        --rounds) ROUNDS=$2; shift 2 ;;
        --rounds=*) ROUNDS=${1#*=}; shift ;;
        *) echo "usage: bench/scale.sh [--rounds N]" >&2; exit 2 ;;
    esac
done
FILES=${SCALE_FILES:-1000000}
FOLDERS=${SCALE_FOLDERS:-1000}
PER_FOLDER=$((FILES / FOLDERS))
[ "$PER_FOLDER" -ge 1 ] || { echo "SCALE_FILES must be at least SCALE_FOLDERS" >&2; exit 2; }
MAX_BYTES=200
SEED=16
PIECE=64M # both sides: 64 MiB
SETTLE=1

command -v /usr/bin/time >/dev/null || {
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq && $sudo apt-get install -y -qq time
}
if [ -z "${PARCELOR:-}" ] || [ -z "${BENCH:-}" ]; then make build >/dev/null; fi
BENCH=${BENCH:-$PWD/build/bench/parcelor-bench}
PARCELOR=${PARCELOR:-$PWD/build/cli/parcelor}

image=${SCALE_IMAGE:-}
[ -n "$image" ] && image=$(realpath -m "$image")
if [ -n "${SCALE_DIR:-}" ]; then
    work=$(realpath -m "$SCALE_DIR"); mkdir -p "$work"
    cleanup() { cd "$work" && drop_outputs; }
else
    work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-scale.XXXXXX")
    cleanup() { cd "$work" && drop_outputs; cd / && rm -rf "$work"; }
fi
out=$work/out
# fresh_outputs: an empty $out for a round's sets and joined copies.
fresh_outputs() {
    drop_outputs
    mkdir -p "$out"
    if [ -n "$image" ]; then
        truncate -s 64G "$image"
        # Inode tables and journal zeroed now: a lazy init would write them
        # in the background during the first timed commands.
        mkfs.ext4 -q -F -N 4000000 -E lazy_itable_init=0,lazy_journal_init=0 "$image"
        mount -o loop "$image" "$out"
    fi
}
drop_outputs() {
    if [ -n "$image" ]; then
        mountpoint -q "$out" && umount "$out"
        rm -f "$image"
    fi
    rm -rf "$out"
}
trap cleanup EXIT
cd "$work"

data="$FOLDERS x $PER_FOLDER files of 0 to $MAX_BYTES bytes, seed $SEED"
if [ "$(cat tree.made 2>/dev/null)" != "$data" ]; then
    echo "Making $data in $work/tree..." >&2
    rm -rf tree tree.made
    start=$(date +%s.%N)
    "$BENCH" make-many-files tree "$FOLDERS" "$PER_FOLDER" "$MAX_BYTES" "$SEED"
    echo "$data" > tree.made
    echo "  made in $(awk -v s="$start" -v e="$(date +%s.%N)" 'BEGIN { printf "%.1f", e - s }') s" >&2
fi
echo "Data: $data ($(du -sh --apparent-size tree | cut -f1) apparent, $(du -sh tree | cut -f1) on disk)" >&2

declare -A times rss
# run NAME CMD...: wall seconds and peak resident KB of one run from a settled
# disk, kept under NAME; fails the bench on a non-zero exit.
run() {
    local name=$1; shift
    sync; sleep "$SETTLE"
    if ! /usr/bin/time -f "%e %M" -o timing "$@" >output 2>errors; then
        echo "$name failed:" >&2; cat errors timing >&2; exit 1
    fi
    read -r secs kb < <(tail -n 1 timing)
    times[$name]+="$secs "
    rss[$name]+="$kb "
}
fresh() { rm -rf "$@"; mkdir -p "$@"; }
stats() { # median min max of a list of numbers
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{a[NR]=$1} END {printf "%s %s %s", a[int((NR+1)/2)], a[1], a[NR]}'
}
# in_order FIRST CMD...: the commands as given when FIRST is "ours", else reversed.
in_order() {
    local first=$1; shift
    local commands=("$@") i
    if [ "$first" = ours ]; then
        for ((i = 0; i < ${#commands[@]}; ++i)); do eval "${commands[i]}"; done
    else
        for ((i = ${#commands[@]} - 1; i >= 0; --i)); do eval "${commands[i]}"; done
    fi
}
same() { # same FOLDER LABEL: the joined copy equals the source
    diff -r "$work/tree" "$1" >/dev/null || { echo "$2: the joined copy differs from the source" >&2; exit 1; }
}

for i in $(seq "$ROUNDS"); do
    echo "Round $i of $ROUNDS..." >&2
    first=ours; [ $((i % 2)) -eq 0 ] && first=theirs
    fresh_outputs
    cd "$out"
    fresh p1 p2 t1
    # Every inode and every byte of the source in the cache before either
    # side reads it: the previous round's joined copies push them out, and
    # the first reader would pay for reading them back (a 30 to 70 s first
    # command in rounds that began with it).
    du -s "$work/tree" >/dev/null
    find "$work/tree" -type f -print0 | xargs -0 cat >/dev/null
    in_order $first \
        'run "split" "$PARCELOR" split -q --no-checksums -b $PIECE "$work/tree" p1' \
        'run "split + sums" "$PARCELOR" split -q -b $PIECE "$work/tree" p2' \
        'run "tar | split" sh -c "tar cf - -C \"$work\" tree | split -b $PIECE - t1/tree.tar."'
    fresh j1 j2 j3
    in_order $first \
        'run "join" "$PARCELOR" join -q p1/tree_spt j1' \
        'run "join + check" "$PARCELOR" join -q p2/tree_spt j2' \
        'run "cat | tar x" sh -c "cat t1/tree.tar.* | tar xf - -C j3"'
    if [ "$i" -eq 1 ]; then
        echo "  comparing the three joined copies with the source..." >&2
        same j1/tree "join"; same j2/tree "join + check"; same j3/tree "cat | tar x"
    fi
    run "list" "$PARCELOR" list p2/tree_spt
    run "verify" "$PARCELOR" verify -q p2/tree_spt
    # The window's path: the published inspection, and the load of every
    # record into the registry that a join through the published call does.
    run "inspect (published)" "$BENCH" inspect "$out/p2/tree_spt"
    run "load (registry)" "$BENCH" load "$out/p2/tree_spt"
    set_size=$(du -sb p2/tree_spt | cut -f1)
    manifest_size=$(stat -c %s p2/tree_spt/spt_config.morvspt)
    contents_size=$(stat -c %s p2/tree_spt/CONTENTS.sha256)
    tar_size=$(cat t1/tree.tar.* | wc -c)
    cd "$work"
done

echo
echo "$data; 64 MiB pieces; medians of $ROUNDS rounds (min-max)"
echo "set with sums: $set_size bytes (manifest $manifest_size, CONTENTS.sha256 $contents_size); tar: $tar_size bytes"
printf '\n%-20s %-22s %-12s %-22s %-12s %s\n' "operation" "ours (s)" "ours (KB)" "theirs (s)" "theirs (KB)" "ours/theirs"
row() { # row OURS THEIRS
    read -r om omin omax <<<"$(stats "${times[$1]}")"
    read -r orss _ _ <<<"$(stats "${rss[$1]}")"
    if [ -n "${2:-}" ]; then
        read -r tm tmin tmax <<<"$(stats "${times[$2]}")"
        read -r trss _ _ <<<"$(stats "${rss[$2]}")"
        ratio=$(awk -v a="$om" -v b="$tm" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }')
        printf '%-20s %-22s %-12s %-22s %-12s %s\n' "$1" "$om ($omin-$omax)" "$orss" \
            "$tm ($tmin-$tmax)" "$trss" "$ratio  vs $2"
    else
        printf '%-20s %-22s %-12s %-22s %-12s %s\n' "$1" "$om ($omin-$omax)" "$orss" "-" "-" "-"
    fi
}
row "split" "tar | split"
row "split + sums" "tar | split"
row "join" "cat | tar x"
row "join + check" "cat | tar x"
row "list"
row "verify"
row "inspect (published)"
row "load (registry)"
