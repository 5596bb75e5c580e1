#!/usr/bin/env bash
# `parcelor list` of manifests at the record caps (2,097,152 pieces and
# 2,097,152 file records): wall time and peak resident memory, medians of a
# few runs, with the range.
#  - sparse:  a header claiming both caps, the file stretched to the 665 MB
#             the counts need, with no data (it must be refused);
#  - genuine: the same counts written in full (665 MB), the pieces absent;
#  - present: a set whose pieces are all there (4 KiB each), for the cost of
#             the quick check per piece present (the whole run, divided);
# and the load of the first two into the registry, as a join loads them.
#
#   bench/list.sh           as above; about 1 GB of disk, two minutes here
#   bench/list.sh --quick   a tenth of the records
#
# PARCELOR=/path/to/parcelor and BENCH=/path/to/parcelor-bench measure other
# builds of the command line and of the driver (which also makes the data).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1
if [ $quick -eq 1 ]; then
    RECORDS=209715; PRESENT=5000; REPEAT=3
else
    RECORDS=2097152; PRESENT=50000; REPEAT=3
fi

command -v /usr/bin/time >/dev/null || {
    sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq && $sudo apt-get install -y -qq time
}
make build >/dev/null
BENCH=${BENCH:-$PWD/build/bench/parcelor-bench}
PARCELOR=${PARCELOR:-$PWD/build/cli/parcelor}

work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-list-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT
cd "$work"

echo "Making the sets in $work..." >&2
"$BENCH" make-sparse-manifest sparse/big_spt $RECORDS $RECORDS
"$BENCH" make-manifest genuine/big_spt $RECORDS $RECORDS 0
"$BENCH" make-manifest present/big_spt $PRESENT $PRESENT $PRESENT
sync

declare -A times rss
# measure NAME CMD...: wall seconds and peak resident KB of one run, kept
# under NAME; its output in `listed` and `errors`, its exit status in $status.
measure() {
    local name=$1; shift
    status=0
    /usr/bin/time -f "%e %M" -o timing "$@" >listed 2>errors || status=$?
    read -r secs kb < <(tail -n 1 timing) # after a line on the exit status, if not 0
    times[$name]+="$secs "
    rss[$name]+="$kb "
}
# run NAME SET EXPECTED_STATUS: one `parcelor list`.
run() {
    measure "$1" "$PARCELOR" list "$2"
    [ "$status" = "$3" ] || { echo "$1: exit status $status, not $3" >&2; cat errors >&2; exit 1; }
}
stats() { # median min max of a list of numbers
    tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{a[NR]=$1} END {printf "%s %s %s", a[int((NR+1)/2)], a[1], a[NR]}'
}

for i in $(seq "$REPEAT"); do
    echo "Round $i of $REPEAT..." >&2
    run sparse sparse/big_spt 1
    sparse_outcome="listed $(grep -c '\.spt  ' listed || true) pieces"
    grep -q "cannot read the manifest" errors && sparse_outcome="refused"
    run genuine genuine/big_spt 1 # every piece is missing
    [ "$(grep -c '  -1  missing$' listed)" -eq $RECORDS ] || { echo "genuine: not listed" >&2; exit 1; }
    run present present/big_spt 0
    [ "$(grep -c '  4096  ok$' listed)" -eq $PRESENT ] || { echo "present: not listed" >&2; exit 1; }
    measure "load sparse" "$BENCH" load sparse/big_spt
    load_sparse=$(grep -q "result 0" listed && echo "loaded $(grep records listed | cut -d' ' -f2-4)" || echo refused)
    measure "load genuine" "$BENCH" load genuine/big_spt
    grep -q "result 0" listed || { echo "load genuine: refused" >&2; exit 1; }
done

printf '\n%-34s %-22s %-26s %s\n' "run" "time (s)" "peak RSS (KB)" "outcome"
for name in sparse genuine present "load sparse" "load genuine"; do
    read -r tm tmin tmax <<<"$(stats "${times[$name]}")"
    read -r rm rmin rmax <<<"$(stats "${rss[$name]}")"
    case $name in
        sparse) label="sparse, $RECORDS + $RECORDS claimed"; outcome=$sparse_outcome ;;
        genuine) label="genuine, $RECORDS + $RECORDS"; outcome="all missing" ;;
        present) label="$PRESENT pieces present"; outcome="all ok" ;;
        "load sparse") label="loadManifest, sparse"; outcome=$load_sparse ;;
        "load genuine") label="loadManifest, genuine"; outcome="loaded" ;;
    esac
    printf '%-34s %-22s %-26s %s\n' "$label" "$tm ($tmin-$tmax)" "$rm ($rmin-$rmax)" "$outcome"
done
read -r tm _ _ <<<"$(stats "${times[present]}")"
printf '%-34s %s\n' "per piece present (whole run)" \
    "$(awk -v t="$tm" -v n="$PRESENT" 'BEGIN { printf "%.1f us", t * 1e6 / n }')"
