# shellcheck shell=bash disable=SC2034
# Shared by the bench scripts (sourced): paths, the build, and the wait for
# a quiet machine.  Everything they write goes under build/bench/.

bench_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bench_build="$bench_root/build/bench"
bench_bin="$bench_build/bench"

# Configures and builds the bench preset (Release, benchmarks on, tests off).
bench_build_all() {
  if [ "${SKIP_BUILD:-0}" = 1 ]; then return 0; fi
  (cd "$bench_root" && cmake --preset bench >/dev/null &&
    cmake --build --preset bench -j 2 >/dev/null)
}

# Prints the one-minute load average.
bench_load() { cut -d' ' -f1 /proc/loadavg; }

# Waits, in 30 s steps and for at most BENCH_MAX_WAIT seconds (default 600),
# for the one-minute load to fall below BENCH_MAX_LOAD (default 0.5): the two
# cores are shared.  Leaves the load it started with in bench_load_note.
bench_wait_quiet() {
  local max_wait="${BENCH_MAX_WAIT:-600}" limit="${BENCH_MAX_LOAD:-0.5}"
  local waited=0 load
  load="$(bench_load)"
  while awk -v l="$load" -v m="$limit" 'BEGIN { exit !(l >= m) }'; do
    if [ "$waited" -ge "$max_wait" ]; then
      echo "bench: load still $load after ${waited}s; measuring anyway" >&2
      break
    fi
    echo "bench: load $load >= $limit, waiting (${waited}s of ${max_wait}s)" >&2
    sleep 30
    waited=$((waited + 30))
    load="$(bench_load)"
  done
  bench_load_note="load average at start: $(cut -d' ' -f1-3 /proc/loadavg) (waited ${waited}s)"
}

# One line describing the machine.
bench_machine() {
  local model
  model="$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')"
  echo "$(nproc) CPUs, $model, $(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo) RAM, $(uname -sr)"
}

# Median of the numbers on standard input, one per line.
bench_median() {
  sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# utime + stime, in seconds, of process |pid| and its children threads
# (/proc/PID/stat counts every thread of the process).
bench_cpu_seconds() {
  local total=0 pid ticks
  ticks="$(getconf CLK_TCK)"
  for pid in "$@"; do
    [ -r "/proc/$pid/stat" ] || continue
    # Fields 14 and 15, counted after the ")" that ends the command name.
    total=$(( total + $(sed 's/.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }') ))
  done
  awk -v t="$total" -v hz="$ticks" 'BEGIN { printf "%.4f", t / hz }'
}

# Sum of VmHWM (peak resident set) in KiB over the given processes.
bench_hwm_kib() {
  local total=0 pid kib
  for pid in "$@"; do
    kib="$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status" 2>/dev/null || true)"
    total=$((total + ${kib:-0}))
  done
  echo "$total"
}

# Waits (at most 10 s) until 127.0.0.1:|port| accepts a connection.
bench_wait_port() {
  local port="$1" i
  for i in $(seq 100); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  return 1
}

# True when something already listens on 127.0.0.1:|port| or *:|port|.
bench_port_busy() {
  ss -Htln "sport = :$1" | grep -q .
}

# Seconds of CPU the whole machine has spent busy since boot (all CPUs).
bench_sys_busy_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '/^cpu / {
    printf "%.2f", ($2 + $3 + $4 + $7 + $8 + $9) / hz }' /proc/stat
}
