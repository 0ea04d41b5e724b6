#!/usr/bin/env bash
# Whole-run cost of ntsnap against `top -b -n 2 -d 1 -H` (procps) and `pidstat -t -u -w 1 1`
# (sysstat) on this machine: CPU time (user + sys) and peak memory of each run, from /usr/bin/time,
# median of RUNS runs. First at the current load, then under each made load PROCESSESxTHREADS
# (sleeping processes of that many threads each, from load_generator, ended again afterwards).
#
#   bench/compare.sh [PROCESSESxTHREADS ...]     default: 2000x8 800x25
#   RUNS=5 BUILD_DIR=build-bench                  environment, with their defaults
#
# All three tools take two readings one second apart; each run's output goes to /dev/null.
set -euo pipefail
cd "$(dirname "$0")/.."

RUNS=${RUNS:-5}
BUILD_DIR=${BUILD_DIR:-build-bench}
loads=("$@")
# Both defaults fit the largest block the run tries (about 16,000 and 20,000 threads).
[ ${#loads[@]} -gt 0 ] || loads=(2000x8 800x25)

bash scripts/setup.sh sysstat time >&2
if [ ! -f "$BUILD_DIR/build.ninja" ]; then
    cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNTSNAP_TESTS=OFF >/dev/null
fi
cmake --build "$BUILD_DIR" --target ntsnap load_generator >&2
ntsnap=$BUILD_DIR/ntsnap
generator=$BUILD_DIR/bench/load_generator

work=$(mktemp -d)
generator_pid=
stop_generator() {
    if [ -n "$generator_pid" ]; then
        kill -TERM "$generator_pid" 2>/dev/null || true
        wait "$generator_pid" 2>/dev/null || true
        generator_pid=
    fi
}
trap 'stop_generator; rm -rf "$work"' EXIT

# Runs a command RUNS times; prints the median CPU seconds, the median peak KiB and the exit
# status of the last run.
measure() {
    local samples=$work/samples
    : >"$samples"
    local status=0
    for _ in $(seq "$RUNS"); do
        status=0
        /usr/bin/time -f '%U %S %M %x' -o "$work/one" "$@" >/dev/null 2>&1 || status=$?
        tail -n 1 "$work/one" >>"$samples"
    done
    local cpu mem
    cpu=$(awk '{ print $1 + $2 }' "$samples" | median)
    mem=$(awk '{ print $3 }' "$samples" | median)
    echo "$cpu $mem $(tail -n 1 "$samples" | awk '{ print $4 }')"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

threads_now() { awk '{ split($4, a, "/"); print a[2] }' /proc/loadavg; }
processes_now() { ls -d /proc/[0-9]* 2>/dev/null | wc -l; }

compare() {
    local label=$1
    echo "== $label: $(processes_now) processes, $(threads_now) threads, $RUNS runs each"
    read -r ours ours_mem ours_code < <(measure "$ntsnap")
    read -r top top_mem _ < <(measure top -b -n 2 -d 1 -H)
    read -r pid pid_mem _ < <(measure pidstat -t -u -w 1 1)
    printf '%-28s %10s %10s %14s\n' command "cpu s" "peak KiB" "cpu / ntsnap"
    printf '%-28s %10s %10s %14s   exit %s\n' "ntsnap" "$ours" "$ours_mem" 1.00 "$ours_code"
    row "top -b -n 2 -d 1 -H" "$top" "$top_mem" "$ours"
    row "pidstat -t -u -w 1 1" "$pid" "$pid_mem" "$ours"
}

row() {
    awk -v name="$1" -v cpu="$2" -v mem="$3" -v ours="$4" 'BEGIN {
        ratio = "-"
        if (ours > 0) ratio = sprintf("%.2f", cpu / ours)
        printf "%-28s %10.3f %10d %14s\n", name, cpu, mem, ratio
    }'
}

compare "current load"
for load in "${loads[@]}"; do
    processes=${load%x*}
    threads=${load#*x}
    "$generator" "$processes" "$threads" 600 >"$work/generator" 2>&1 &
    generator_pid=$!
    for _ in $(seq 300); do
        grep -q ready "$work/generator" && break
        sleep 1
    done
    compare "made load ${processes}x${threads}"
    stop_generator
done
