# What the whole-program tests share. Sourced by a script called with
# BUILD_DIR SOURCE_DIR, it sets $build and $source (absolute), a scratch
# folder $work and $sim_pid, and on exit stops the simulator and removes
# $work. Then: the README's marked code blocks, a simulator on a free port,
# and the README's host built with CMake and with pkg-config against an
# installation.
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)
work=$(mktemp -d)
sim_pid=""
trap '[ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
fail() { echo "$*"; exit 1; }
# Shows the file $1, then fails with the message that follows.
fail_showing() { cat "$1"; shift; fail "$*"; }

# Each block that README.md or docs/integration.md marks "<!-- tested: NAME -->",
# into $work/examples/NAME.
extract_readme_blocks() {
  mkdir -p "$work/examples"
  awk -v dir="$work/examples" '
    /^<!-- tested: .* -->$/ { name = $3; next }
    name != "" && /^```/ { if (inside) { inside = 0; name = "" } else { inside = 1 }; next }
    inside { print > (dir "/" name) }
  ' "$source/README.md" "$source/docs/integration.md"
  for name in host.cpp CMakeLists.txt pkg-config.sh loader.cpp facepadctl-session.sh; do
    test -s "$work/examples/$name" || fail "no tested block $name in README.md or docs/integration.md"
  done
}

# A fresh simulator from the program $1 on a free port, with the options that
# follow; sets $port and $sim_pid.
start_simulator() {
  if [ -n "$sim_pid" ]; then kill "$sim_pid" 2>/dev/null || true; fi
  : >"$work/sim.log"
  program=$1
  shift
  "$program" --port 0 "$@" >"$work/sim.log" 2>&1 &
  sim_pid=$!
  for _ in $(seq 200); do
    port=$(sed -n 's/.*listening on http:\/\/[^:]*:\([0-9]*\).*/\1/p' "$work/sim.log")
    [ -n "$port" ] && return 0
    sleep 0.05
  done
  fail "$program did not say its port: $(cat "$work/sim.log")"
}

# Runs the host `$@ $port`, which must print its own request's result and
# nothing of another's.
run_host() {
  "$@" "$port" >"$work/host.out" || fail_showing "$work/host.out" "the host failed: $*"
  grep -q "^FP-0001 req-[0-9]*-[0-9]* -> [0-9]" "$work/host.out" || fail_showing "$work/host.out" "no result"
  ! grep -q "stale" "$work/host.out" || fail_showing "$work/host.out" "another's result"
}

# Builds the README's host against the installation with prefix $2 and
# library folder $3 (for the README's /opt/facepad and /opt/facepad/lib),
# with CMake and with pkg-config, in $work/$1-*, and runs both.
build_and_run_host() {
  echo "== the host, built with CMake against the $1"
  dir="$work/$1-cmake"
  mkdir "$dir"
  cp "$work/examples/host.cpp" "$work/examples/CMakeLists.txt" "$dir/"
  cmake -S "$dir" -B "$dir/build" -DCMAKE_PREFIX_PATH="$2" >/dev/null
  cmake --build "$dir/build" >/dev/null
  run_host env LD_LIBRARY_PATH="$3" "$dir/build/host"

  echo "== the host, built with pkg-config against the $1"
  dir="$work/$1-pkg-config"
  mkdir "$dir"
  cp "$work/examples/host.cpp" "$dir/"
  sed "s|/opt/facepad/lib|$3|g; s|/opt/facepad|$2|g" "$work/examples/pkg-config.sh" >"$dir/build.sh"
  (cd "$dir" && sh ./build.sh)
  # Under /usr the libraries carry no run path to each other.
  run_host env LD_LIBRARY_PATH="$3" "$dir/host"
}
