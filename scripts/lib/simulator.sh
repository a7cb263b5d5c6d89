# Sourced by scripts/run and scripts/screenshot: builds the simulator and the console when
# missing, prepares a run folder with the demo option banks and starts the simulator on a
# free loopback port. After start_simulator: $port, $serial (the device's address) and
# $simpid are set, and the simulator is stopped when the calling script exits.
# Uses $root and $build from the caller.

build_console() {
  "$root/scripts/install-deps"
  # A folder configured earlier without the console is configured again with it.
  local gen=(-G Ninja)
  [ -f "$build/CMakeCache.txt" ] && gen=()
  cmake -S "$root" -B "$build" "${gen[@]}" -DVX4_BUILD_UI=ON >/dev/null
  cmake --build "$build" --target vx4sim vx4pult -- -j"$(nproc)"
  sim="$build/sim/vx4sim"
  console="$build/src/app/vx4pult"
  [ -x "$sim" ] || { echo "$0: $sim was not built" >&2; exit 1; }
  [ -x "$console" ] || { echo "$0: $console was not built" >&2; exit 1; }
}

# start_simulator RUNDIR [simulator arguments...]
start_simulator() {
  local rundir=$1; shift
  mkdir -p "$rundir"
  cp "$root/data/constbank.xml" "$root/data/calcbank.xml" "$rundir/"
  # The console addresses the device by its serial number.
  serial=$("$sim" --dump-device "$@" | python3 -c 'import json,sys
d=json.load(sys.stdin); print(d.get("identification", d).get("serial", 0))')
  simlog="$rundir/vx4sim.log"
  : >"$simlog"
  "$sim" --tcp 127.0.0.1:0 "$@" >"$simlog" 2>&1 &
  simpid=$!
  trap 'kill "$simpid" 2>/dev/null || true; wait "$simpid" 2>/dev/null || true' EXIT
  port=""
  local line
  for _ in $(seq 1 100); do
    line=$(head -n1 "$simlog" 2>/dev/null || true)
    if [[ "$line" =~ ^listening\ tcp\ 127\.0\.0\.1:([0-9]+) ]]; then port=${BASH_REMATCH[1]}; break; fi
    kill -0 "$simpid" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "$0: the simulator did not start:" >&2
    cat "$simlog" >&2
    exit 1
  fi
}
