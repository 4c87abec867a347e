# Shared by the benchmarks: a release build, simulators with the wire-time
# model, and the rusage of each program (from /usr/bin/time).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

source "$root/scripts/lib/deps.sh"
kelvo_ensure_deps # lrzsz, time (/usr/bin/time), procps (pgrep)

build="$root/build-bench"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKELVO_SANITIZE=OFF \
  -DKELVO_BUILD_GUI=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j2 --target kelvo_pgtool_cli kelvo_chipsim >/dev/null
cli="$build/cli/kelvo_pgtool_cli"
chipsim="$build/sim/kelvo_chipsim"

TURN_US=${TURN_US:-1000} # the chip's turnaround before each reply

work="$(mktemp -d "${TMPDIR:-/tmp}/kelvo-bench-XXXXXX")"
sim_pids=()
time_pids=()
cleanup() {
  local pid
  for pid in "${sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${time_pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# start_sim DIR [OPTION]...: a simulator in DIR under /usr/bin/time
# (DIR/sim.time); sets sim_pid and sim_tty.
start_sim() {
  local dir=$1
  shift
  mkdir -p "$dir"
  /usr/bin/time -f "%U %S" -o "$dir/sim.time" "$chipsim" --flash "$dir/simflash.bin" \
    --flash-size $((4 * 1024 * 1024)) --baud-model --latency-us "$TURN_US" \
    --events "$dir/events.log" "$@" >"$dir/sim.out" &
  local time_pid=$!
  time_pids+=("$time_pid")
  for _ in $(seq 100); do
    [ -s "$dir/sim.out" ] && break
    sleep 0.05
  done
  sim_pid=$(pgrep -P "$time_pid")
  sim_pids+=("$sim_pid")
  sim_tty=$(head -n1 "$dir/sim.out")
}

# stop_sim DIR PID: stops it and waits for its rusage.
stop_sim() {
  kill -TERM "$2" 2>/dev/null || true
  for _ in $(seq 100); do
    [ -s "$1/sim.time" ] && return
    sleep 0.05
  done
}

# cpu_seconds FILE: user + system seconds recorded by /usr/bin/time.
cpu_seconds() {
  awk 'NF == 2 && $1 ~ /^[0-9.]+$/ { print $1 + $2 }' "$1" | tail -n1
}

# data_seconds DIR: the data phase of the last completed transfer, as the
# simulator measured it (first block in to EOT acknowledged).
data_seconds() {
  awk '$2 == "completed" { s = $5 } END { print s + 0 }' "$1/events.log"
}

# configure_cli DIR TTY IMAGE BAUD: settings for a plain download.
configure_cli() {
  (cd "$1" && "$cli" -add device "$2" >/dev/null && "$cli" -set image "$3" >/dev/null &&
    "$cli" -set baudrate "$4" >/dev/null && "$cli" -set hash_verify 0 >/dev/null)
}
