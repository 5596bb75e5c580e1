#!/usr/bin/env bash
# What a mount of an encrypted set costs: the mount's start (the header's
# scrypt, the pieces holding the tar's headers and its last chunk checked,
# the tar indexed) against the key derivation alone (a mount of an encrypted
# empty file), and a sequential read through the mount (1 MiB reads, its
# pieces unchecked at first) against the encrypted join of the same set.
# 4 KiB reads that bypass the kernel's cache show the daemon's own cache
# of decrypted chunks. Medians of interleaved rounds, with min-max; warm cache.
#
#   bench/mount-encrypted.sh [--rounds N] [--gib G]   (default 3 rounds, 1 GiB)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
ROUNDS=3; GIB=1
while [ $# -gt 0 ]; do
    case $1 in --rounds) ROUNDS=$2; shift 2 ;; --gib) GIB=$2; shift 2 ;; *) exit 2 ;; esac
done
prepare fusermount3 mount-encrypted fuse3
cd "$work"
trap 'fusermount3 -u -z "$work/mnt" 2>/dev/null || true; rm -rf "$work"' EXIT
printf 'bench pass phrase\n' > pw
mkdir mnt e z
"$BENCH" make-file src.bin $((GIB * 1024 * 1024 * 1024)) 1 >/dev/null
: > empty.bin
"$P" split -q --encrypt --password-file pw -b 64M src.bin e
"$P" split -q --encrypt --password-file pw empty.bin z
for i in $(seq "$ROUNDS"); do
    echo "round $i of $ROUNDS..." >&2
    run "mount, empty file (scrypt)" "$P" mount --password-file pw z/empty_spt mnt
    fusermount3 -u mnt
    run "mount, $GIB GiB" "$P" mount --password-file pw e/src_spt mnt
    run "read through the mount, $GIB GiB" dd if=mnt/src.bin of=/dev/null bs=1M
    run "second read through the mount" dd if=mnt/src.bin of=/dev/null bs=1M
    # 4 KiB reads past the kernel's cache: each one reaches the daemon.
    run "4 KiB direct reads, 256 MiB" dd if=mnt/src.bin of=/dev/null bs=4K count=65536 iflag=direct
    fusermount3 -u mnt
    rm -rf j; mkdir j
    run "encrypted join, $GIB GiB" "$P" join -q --password-file pw e/src_spt j
    cmp -s src.bin j/src.bin || { echo "the encrypted join differs" >&2; exit 1; }
done
rm -rf j

table
echo
echo "mount - scrypt:                      $(awk -v a="$(med "mount, $GIB GiB")" -v b="$(med "mount, empty file (scrypt)")" 'BEGIN { printf "%.2f s", a - b }')   (target <= 0.5 s)"
echo "read through the mount / encrypted join: $(ratio "$(med "read through the mount, $GIB GiB")" "$(med "encrypted join, $GIB GiB")")"
