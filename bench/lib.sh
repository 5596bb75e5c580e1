# What the side-by-side benches share; sourced, not run. Timings go into
# the associative arrays `times`, `cpu` and `rss` by operation name.
declare -A times cpu rss
# run NAME CMD...: wall seconds, processor seconds (user and system) and peak
# resident KB of one run, from a settled disk.
run() {
    local name=$1; shift
    sync; sleep 1
    /usr/bin/time -f "%e %M %U %S" -o timing "$@" >/dev/null 2>&1
    read -r secs kb user system < timing
    times[$name]+="$secs "; rss[$name]+="$kb "
    cpu[$name]+="$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }') "
}
# median min max of a list of numbers
stats() { tr ' ' '\n' <<<"$1" | grep . | sort -g | awk '{a[NR]=$1} END {printf "%s %s %s", a[int((NR+1)/2)], a[1], a[NR]}'; }
# the median time of an operation
med() { read -r m _ _ <<<"$(stats "${times[$1]}")"; echo "$m"; }
# The table of every operation run: median (min-max) seconds and peak RSS.
table() {
    printf '\n%-36s %s\n' "operation" "seconds: median (min-max), peak RSS"
    for op in "${!times[@]}"; do
        read -r m lo hi <<<"$(stats "${times[$op]}")"; read -r r _ _ <<<"$(stats "${rss[$op]}")"
        printf '%-36s %-22s %s KB\n' "$op" "$m ($lo-$hi)" "$r"
    done | sort
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }

# Installs the Debian packages `$2...` unless the command `$1` is there;
# then builds (in BUILD_DIR, default build), and makes a scratch folder `$work` (removed on exit), named
# after `$3`, and goes into it. Sets P (the command line) and BENCH.
prepare() {
    local tool=$1 name=$2; shift 2
    command -v "$tool" >/dev/null && command -v /usr/bin/time >/dev/null || {
        local sudo=""; [ "$(id -u)" -ne 0 ] && sudo="sudo"
        $sudo apt-get install -y -qq "$@" time >/dev/null
    }
    make build >/dev/null
    local built; built=$(cd "${BUILD_DIR:-build}" && pwd)
    P=$built/cli/parcelor
    BENCH=$built/bench/parcelor-bench
    work=$(mktemp -d "${TMPDIR:-/tmp}/parcelor-$name.XXXXXX")
    trap 'rm -rf "$work"' EXIT
}
