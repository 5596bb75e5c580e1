#!/usr/bin/env bash
# Reads through `parcelor mount` against reading the pieces themselves.
#
#   bench/mount.sh [--rounds N] [--files N]   (needs /dev/fuse and fusermount3)
#
# Warm cache, medians of N rounds (default 5, after one untimed) with the range:
#   a 1 GiB file set of 64 MiB pieces: mount, then `cat` of the file (the
#   first read, every piece's check and the whole-file check included; cat
#   reads 1 MiB at a time, the size the mount's files give as their own),
#   against one `openssl dgst -sha256` pass over the pieces; the second read
#   of the same file against `cat` of the pieces; the mount's own time; the
#   first read once more with `dd bs=1M` (which gives the kernel no advice
#   to read ahead);
#   the same set with 2 recovery pieces and 2 pieces lost: the first read;
#   a folder set of --files files (default 10^5) of 0 to 4 KiB in 64 MiB
#   pieces: the mount's time and peak memory, the first 4 KiB read at a random
#   offset of a random file while its piece is unchecked, the median of 200
#   such reads once checked, and `ls -R` of the mount against `ls -R` of the
#   joined tree.
# PARCELOR=path times that build instead of build/cli/parcelor.
set -euo pipefail
cd "$(dirname "$0")/.."
ROUNDS=5
FILES=100000
while [ $# -gt 0 ]; do
    case $1 in
    --rounds) ROUNDS=$2; shift 2 ;;
    --files) FILES=$2; shift 2 ;;
    *) echo "usage: bench/mount.sh [--rounds N] [--files N]" >&2; exit 2 ;;
    esac
done
source bench/lib.sh
if [ -z "${PARCELOR:-}" ]; then make build >/dev/null; fi
P=${PARCELOR:-$PWD/build/cli/parcelor}
BENCH=${BENCH:-$PWD/build/bench/parcelor-bench}
work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-mount.XXXXXX")
mnt=$work/mnt
mkdir "$mnt"
cleanup() {
    fusermount3 -u -z "$mnt" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

# seconds CMD...: wall seconds of CMD, to the millisecond.
seconds() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }'
}
# Round 0 of each loop is not timed: the first reads after making 3 GB of
# data ran up to 4 times slower here, whichever build read them.
add() { [ "$round" -gt 0 ] && times[$1]+="$2 " || true; }
# This machine pages out what has gone cold, the page cache too: each timed
# read first finds its pieces in memory again, as "warm cache" says.
warm() { cat "$@" >/dev/null; }
unmount() { fusermount3 -u "$mnt" 2>/dev/null || fusermount3 -u -z "$mnt"; }
# The daemon's peak resident memory, in MB.
peak() {
    local pid
    pid=$(pgrep -n -f "parcelor mount .* $mnt\$" || true)
    [ -n "$pid" ] && awk '/VmHWM/ { printf "%.0f", $2 / 1024 }' "/proc/$pid/status" || echo "?"
}

echo "Making the data..." >&2
"$BENCH" make-file big.bin $((1 << 30)) 7
"$P" split -q -b 64M big.bin . >/dev/null
mkdir rec && "$P" split -q -b 64M --recovery=2 big.bin rec >/dev/null
rm rec/big_spt/big_3.spt rec/big_spt/big_9.spt
per=1000
"$BENCH" make-many-files tree $(((FILES + per - 1) / per)) "$per" 4096 11
"$P" split -q -b 64M tree . >/dev/null
cat big_spt/*.spt rec/big_spt/*.spt tree_spt/*.spt >/dev/null
sync # the data's own writeback is not timed with the reads

declare -A memory
first4k() { # the first 4 KiB read of a random file, then 200 more, in ms
    python3 - "$mnt/tree" "$1" <<'EOF'
import os, random, sys, time
root, seed = sys.argv[1], int(sys.argv[2])
random.seed(seed)
names = []
for folder in sorted(os.listdir(root))[:20]:
    names += [os.path.join(root, folder, n) for n in sorted(os.listdir(os.path.join(root, folder)))]
def one():
    path = random.choice(names)
    size = os.stat(path).st_size
    fd = os.open(path, os.O_RDONLY)
    t = time.perf_counter()
    os.pread(fd, 4096, random.randrange(max(size - 4096, 0) + 1))
    t = time.perf_counter() - t
    os.close(fd)
    return t * 1000
first = one()
later = sorted(one() for _ in range(200))
print("%.2f %.3f" % (first, later[100]))
EOF
}

for round in $(seq 0 "$ROUNDS"); do
    echo "round $round of $ROUNDS" >&2
    if [ $((round % 2)) -eq 1 ]; then
        add "openssl dgst -sha256 of the pieces" "$(seconds openssl dgst -sha256 big_spt/big_*.spt)"
    fi
    warm big_spt/*.spt
    add "mount (1 GiB file set)" "$(seconds "$P" mount big_spt "$mnt")"
    add "first read through the mount" "$(seconds sh -c "cat '$mnt/big.bin' > /dev/null")"
    add "second read through the mount" "$(seconds sh -c "cat '$mnt/big.bin' > /dev/null")"
    unmount
    warm big_spt/*.spt
    "$P" mount big_spt "$mnt" >/dev/null 2>&1
    add "first read through the mount, dd bs=1M" "$(seconds dd if="$mnt/big.bin" of=/dev/null bs=1M)"
    unmount
    if [ $((round % 2)) -eq 0 ]; then
        add "openssl dgst -sha256 of the pieces" "$(seconds openssl dgst -sha256 big_spt/big_*.spt)"
    fi
    add "cat of the pieces" "$(seconds sh -c 'cat big_spt/big_*.spt > /dev/null')"

    warm rec/big_spt/*.spt
    "$P" mount rec/big_spt "$mnt" >/dev/null 2>&1
    add "first read, 2 of 16 pieces rebuilt" "$(seconds sh -c "cat '$mnt/big.bin' > /dev/null")"
    unmount
done

# The folder set's rounds after all of the file sets': a mount of 10^5
# files, read and unmounted, leaves the next large read's time spread
# (0.8 to 1.7 s here for the same read), so they are not interleaved.
for round in $(seq 0 "$ROUNDS"); do
    echo "folder set, round $round of $ROUNDS" >&2
    warm tree_spt/*.spt
    add "mount ($FILES-file folder set)" "$(seconds "$P" mount tree_spt "$mnt")"
    [ "$round" -gt 0 ] && memory[folder]+="$(peak) " || true
    read -r first later <<<"$(first4k "$round")"
    add "first 4 KiB read, piece unchecked (ms)" "$first"
    add "4 KiB read, piece checked (ms, median of 200)" "$later"
    add "ls -R of the mount" "$(seconds ls -R "$mnt")"
    unmount
    ls -R tree >/dev/null
    add "ls -R of the joined tree" "$(seconds ls -R tree)"
done

echo "$ROUNDS rounds; seconds unless said: median (range)"
for name in "openssl dgst -sha256 of the pieces" "mount (1 GiB file set)" \
    "first read through the mount" "second read through the mount" "cat of the pieces" \
    "first read through the mount, dd bs=1M" \
    "first read, 2 of 16 pieces rebuilt" "mount ($FILES-file folder set)" \
    "first 4 KiB read, piece unchecked (ms)" "4 KiB read, piece checked (ms, median of 200)" \
    "ls -R of the mount" "ls -R of the joined tree"; do
    read -r m lo hi <<<"$(stats "${times[$name]}")"
    printf '  %-48s %8s (%s to %s)\n' "$name" "$m" "$lo" "$hi"
done
read -r m _ _ <<<"$(stats "${memory[folder]}")"
echo "  peak memory of the folder set's mount: $m MB"
sha=$(med "openssl dgst -sha256 of the pieces")
echo "  first read / openssl: $(ratio "$(med "first read through the mount")" "$sha")"
echo "  first read with dd bs=1M / openssl: $(ratio "$(med "first read through the mount, dd bs=1M")" "$sha")"
echo "  second read / cat: $(ratio "$(med "second read through the mount")" "$(med "cat of the pieces")")"
echo "  rebuilt read / intact read: $(ratio "$(med "first read through the mount")" "$(med "first read, 2 of 16 pieces rebuilt")") (speed)"
echo "  ls -R mount / tree: $(ratio "$(med "ls -R of the mount")" "$(med "ls -R of the joined tree")")"
