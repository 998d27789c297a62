#!/usr/bin/env bash
# Runs the driver in a demonstration on this machine:
#   1. installs the missing Debian packages (scripts/setup.sh),
#   2. builds a Release tree into build/ (the driver and the two simulators),
#   3. in a new temporary directory starts kernel-sim (TCP, on a free port),
#      VolterDirectDrv on a registry file made from examples/registry.reg
#      (working directory, log directory and Kernel port pointed there), and
#      transmitter-sim sending a few signals and time requests to the
#      driver's device port.
# The simulator's JSON lines show what reaches the Kernel. Ctrl-C stops
# everything; the temporary directory with the log and the cache stays.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/setup.sh

jobs=$(nproc 2>/dev/null || echo 2)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DVD_BUILD_TESTS=OFF >/dev/null
cmake --build build -j "$jobs" --target VolterDirectDrv kernel-sim transmitter-sim

demo=$(mktemp -d "${TMPDIR:-/tmp}/volterdirect-demo.XXXXXX")
pids=()

stop_all() {
  # A second Ctrl-C must not cut the clean-up short.
  trap '' INT TERM
  trap - EXIT
  echo
  echo "demo: stopping"
  # The driver first, so that it can unregister from the simulator.
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  echo "demo: everything stopped; the files stay in $demo"
}
trap stop_all INT TERM EXIT

listening() {  # whether something accepts connections on 127.0.0.1:$1
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# A device port nothing listens on yet, from 4001 upwards.
device_port=4001
while listening "$device_port"; do
  device_port=$((device_port + 1))
  if [ "$device_port" -gt 4200 ]; then
    echo "demo: no free device port between 4001 and 4200" >&2
    exit 1
  fi
done

# The Kernel simulator on a free TCP port; its first line names the port.
build/kernel-sim --tcp 0 >"$demo/kernel-sim.jsonl" 2>&1 &
sim_pid=$!
kernel_port=""
for _ in $(seq 100); do
  kernel_port=$(sed -n 's/.*"kind":"listening","tcp_port":\([0-9]*\).*/\1/p' "$demo/kernel-sim.jsonl")
  [ -n "$kernel_port" ] && break
  sleep 0.1
done
if [ -z "$kernel_port" ]; then
  echo "demo: kernel-sim did not start:" >&2
  cat "$demo/kernel-sim.jsonl" >&2
  exit 1
fi

sed -e "s|\"Path\"=.*|\"Path\"=\"$demo/work/\"|" \
    -e "s|\"LogPath\"=.*|\"LogPath\"=\"$demo/log/\"|" \
    -e "s|Port=5000|Port=$kernel_port|" \
    -e "s|\"Port\"=dword:.*|\"Port\"=dword:$(printf %08x "$device_port")|" \
    examples/registry.reg >"$demo/registry.reg"

build/VolterDirectDrv --registry "$demo/registry.reg" &
driver_pid=$!
# Stopped in this order: driver, then the simulator.
pids=("$driver_pid" "$sim_pid")

tail -n +1 -f "$demo/kernel-sim.jsonl" &
pids+=($!)

echo "demo: kernel-sim listens on 127.0.0.1:$kernel_port; waiting for the Kernel to open device port $device_port"
for _ in $(seq 300); do
  listening "$device_port" && break
  if ! kill -0 "$driver_pid" 2>/dev/null; then
    echo "demo: the driver ended; see the lines above" >&2
    exit 1
  fi
  sleep 0.1
done

build/transmitter-sim --port "$device_port" --connections 2 --rate 2 --count 6 --duration 4 \
  --id demo

cat <<EOF

demo: the signals above ("kind":"signal") went transmitter -> driver -> Kernel simulator.
demo: working directory: $demo
demo:   registry file:   $demo/registry.reg
demo:   driver log:      $demo/log/
demo:   signal cache:    $demo/work/Temp/VolterDirectDrv_Cache/
demo:   Kernel lines:    $demo/kernel-sim.jsonl
demo: send more with:    build/transmitter-sim --port $device_port --rate 5 --count 10
demo: press Ctrl-C to stop.
EOF

wait "$driver_pid" || true
