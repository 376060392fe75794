#!/usr/bin/env bash
# Runs the benchmarks and prints every figure beside its baseline of the same run.
#
#   bench/run.sh [all|dispatch|process|scale|capacity]      (default: all; capacity only by name)
#
# Build first:
#   cmake -S . -B build-bench -DKIPD_BENCH=ON -DCMAKE_BUILD_TYPE=Release && cmake --build build-bench -j2
#
# dispatch: in-process figures (Google Benchmark): message dispatch pinned to one core (BENCH_CPU,
#           default 1), one host request on the worker, hand-overs between threads.
# process:  kipd against the simulator on the fixed ports 3971-3973, and the echo server: round
#           trips, throughput with 1/16/256 clients, 1,000 idle connections, idle CPU and memory.
# scale:    "get_devices" over 1,000 and 10,000 known devices, and the daemon's peak memory.
# capacity: the daemon's memory against the network's size (CAPACITY_SIZES, default 1,000, 10,000
#           and 30,000 devices): one search with "refresh" true, then one listing; VmRSS before,
#           VmHWM (the peak) and VmRSS after. What the unit's MemoryHigh/MemoryMax are sized from.
#
# SERVER_CPU=n runs kipd and the echo server on CPU n, CLIENT_CPU=m the load driver on CPU m
# (both unset: no pinning).
#
# The fixed ports are those of the end-to-end tests: the script waits (bounded) until nothing
# listens on them, and stops everything it started when it ends.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="${BUILD:-$ROOT/build-bench}"
BENCH_CPU="${BENCH_CPU:-1}"
WHAT="${1:-all}"
SERVER_CPU="${SERVER_CPU:-}"
CLIENT_CPU="${CLIENT_CPU:-}"
on_cpu() { if [[ -n "$1" ]]; then echo "taskset -c $1"; fi; }
SERVER_RUN="$(on_cpu "$SERVER_CPU")"
DRIVER="$(on_cpu "$CLIENT_CPU") $BUILD/bench/load_driver"
WORK="$(mktemp -d /tmp/kipd-bench-XXXXXX)"
STARTED=()

cleanup() {
    for pid in "${STARTED[@]}"; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in "${STARTED[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

heading() { printf '\n== %s\n' "$*"; }

machine() {
    heading "machine"
    echo "date: $(date -u +%Y-%m-%dT%H:%M:%SZ)"
    echo "cpus: $(nproc), $(lscpu | sed -n 's/^Model name: *//p')"
    echo "memory: $(free -m | awk '/^Mem:/ {print $2 " MiB"}')"
    echo "kernel: $(uname -r)"
    echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
    echo "open files limit: $(ulimit -n)"
    echo "server CPU: ${SERVER_CPU:-any}, client CPU: ${CLIENT_CPU:-any}"
}

# Waits (at most 5 minutes) until nothing listens on the daemon's fixed ports.
wait_for_free_ports() {
    for _ in $(seq 1 60); do
        if ! ss -ltn | grep -qE ':(3971|3972|3973)\b'; then
            return 0
        fi
        echo "ports 3971-3973 busy (end-to-end tests?), waiting..." >&2
        sleep 5
    done
    echo "ports 3971-3973 still busy; giving up" >&2
    exit 1
}

# Starts the simulator on the fixed ports with the network file $1; waits for it to listen.
start_simulator() {
    python3 "$ROOT/tools/kip-confd-sim" --network "$1" >"$WORK/sim.out" 2>"$WORK/sim.err" &
    SIM_PID=$!
    STARTED+=("$SIM_PID")
    for _ in $(seq 1 300); do
        grep -q "listening on" "$WORK/sim.out" 2>/dev/null && return 0
        kill -0 "$SIM_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "the simulator did not start: $(cat "$WORK/sim.err")" >&2
    exit 1
}

# Starts kipd; waits until it answers "has_corvanet_system" (the system is then read).
start_kipd() {
    $SERVER_RUN "$BUILD/kipd" 2>"$WORK/kipd.log" &
    KIPD_PID=$!
    STARTED+=("$KIPD_PID")
    for _ in $(seq 1 100); do
        if PROBE="$($DRIVER probe --port 3971 2>/dev/null)"; then
            if [[ "$PROBE" == *"has_corvanet_system_response"* ]]; then
                return 0
            fi
            echo "kipd answers without the host requests: $PROBE" >&2
            exit 1
        fi
        sleep 0.1
    done
    echo "kipd did not answer" >&2
    exit 1
}

# Stops processes this script started and forgets them, so their numbers are never reused here.
stop_started() {
    local pid kept=()
    for pid in "$@"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    for pid in "${STARTED[@]}"; do
        [[ " $* " == *" $pid "* ]] || kept+=("$pid")
    done
    STARTED=("${kept[@]}")
}

start_echo_server() {
    $SERVER_RUN "$BUILD/bench/echo_server" --port 0 --reply-bytes "$1" --seconds 900 >"$WORK/echo.out" &
    ECHO_PID=$!
    STARTED+=("$ECHO_PID")
    for _ in $(seq 1 50); do
        ECHO_PORT="$(sed -n 's/.*listening on 127.0.0.1:\([0-9]*\).*/\1/p' "$WORK/echo.out")"
        [[ -n "$ECHO_PORT" ]] && return 0
        sleep 0.1
    done
    echo "the echo server did not start" >&2
    exit 1
}

# Google Benchmark, three repetitions, medians only.
run_google_benchmark() {
    "$@" --benchmark_min_time=1 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>&1 |
        grep -E '^(BM_|Load)' | grep -vE '_(mean|stddev|cv) '
}

run_dispatch() {
    heading "dispatch of configuration-daemon messages, in process, on CPU $BENCH_CPU"
    run_google_benchmark taskset -c "$BENCH_CPU" "$BUILD/bench/dispatch_benchmark"
    heading "one host request on the worker, and the hand-overs between threads, in process"
    run_google_benchmark "$BUILD/bench/host_benchmark"
    heading "the same hand-overs with both threads on CPU $BENCH_CPU"
    run_google_benchmark taskset -c "$BENCH_CPU" "$BUILD/bench/host_benchmark" --benchmark_filter=RoundTrip
}

run_process() {
    wait_for_free_ports
    start_simulator "$ROOT/examples/network.json"
    start_kipd
    local reply_bytes
    reply_bytes="$(sed -n 's/.*reply_bytes=\([0-9]*\).*/\1/p' <<<"$PROBE")"
    start_echo_server "$reply_bytes"

    heading "idle daemon (system read, no client)"
    $DRIVER memory --pid "$KIPD_PID"
    timeout 60 $DRIVER cpu --pid "$KIPD_PID" --seconds 5

    heading "round trip of has_corvanet_system: kipd beside the echo server (reply of $reply_bytes bytes)"
    timeout 300 $DRIVER latency --target "kipd=3971" --target "echo=$ECHO_PORT" \
        --rounds 20 --per-round 1000 --warmup 1000

    heading "throughput of has_corvanet_system, closed loop per client"
    for clients in 1 16 256; do
        timeout 120 $DRIVER throughput --port 3971 --clients "$clients" --seconds 3 | sed 's/^/kipd /'
        timeout 120 $DRIVER throughput --port "$ECHO_PORT" --clients "$clients" --seconds 3 | sed 's/^/echo /'
    done

    heading "1,000 idle client connections"
    timeout 300 $DRIVER idle --port 3971 --connections 1000 --hold 5 --pid "$KIPD_PID"
    timeout 60 $DRIVER cpu --pid "$KIPD_PID" --seconds 5
    $DRIVER memory --pid "$KIPD_PID"

    stop_started "$ECHO_PID" "$KIPD_PID" "$SIM_PID"
}

run_scale_of() {
    local count="$1"
    python3 "$ROOT/bench/make_network.py" "$count" "$WORK/network-$count.json"
    wait_for_free_ports
    start_simulator "$WORK/network-$count.json"
    start_kipd
    heading "get_devices over $count known devices ($((count + 1)) reports each)"
    $DRIVER memory --pid "$KIPD_PID" | sed 's/^memory/memory before the search:/'
    timeout 300 $DRIVER devices --port 3971 --refresh true --expect "$((count + 1))" --limit 240
    for _ in 1 2 3; do
        timeout 120 $DRIVER devices --port 3971 --refresh false --expect "$((count + 1))" --limit 60
    done
    $DRIVER memory --pid "$KIPD_PID" | sed 's/^memory/memory after the searches:/'
    stop_started "$KIPD_PID" "$SIM_PID"
}

run_scale() {
    run_scale_of 1000
    run_scale_of 10000
}

run_capacity() {
    local count
    for count in ${CAPACITY_SIZES:-1000 10000 30000}; do
        python3 "$ROOT/bench/make_network.py" "$count" "$WORK/network-$count.json"
        wait_for_free_ports
        start_simulator "$WORK/network-$count.json"
        start_kipd
        heading "memory over $count devices: one search, then one listing ($((count + 1)) reports each)"
        $DRIVER memory --pid "$KIPD_PID" | sed 's/^memory/memory before the search:/'
        timeout 900 $DRIVER devices --port 3971 --refresh true --expect "$((count + 1))" --limit 600
        timeout 300 $DRIVER devices --port 3971 --refresh false --expect "$((count + 1))" --limit 240
        $DRIVER memory --pid "$KIPD_PID" | sed 's/^memory/memory after the listing:/'
        stop_started "$KIPD_PID" "$SIM_PID"
    done
}

machine
case "$WHAT" in
    dispatch) run_dispatch ;;
    process) run_process ;;
    scale) run_scale ;;
    capacity) run_capacity ;;
    all) run_dispatch; run_process; run_scale ;;
    *) echo "usage: bench/run.sh [all|dispatch|process|scale|capacity]" >&2; exit 2 ;;
esac
heading "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
