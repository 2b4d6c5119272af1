# The steps every command of scripts/ starts with, sourced by them: install what is missing, then
# build, each with its output in a log file under the build tree, and a short line on the terminal.
# A step that fails says what failed and shows the end of its log.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(realpath -m "${BUILD_DIR:-$root/build}")
logs=$build/logs
# Debian's interpreter, which has the packages install-deps installs (not one earlier in PATH).
python=/usr/bin/python3

step() { printf '==> %s\n' "$*"; step_began=$SECONDS; }
done_step() { printf '    done in %d s\n' $((SECONDS - step_began)); }

# fail WHAT LOG: says what failed and where its log is, shows the log's end, and ends the command.
fail() {
  printf 'FAILED: %s. Its log is %s; it ends with:\n' "$1" "$2" >&2
  tail -n 25 "$2" | sed 's/^/    /' >&2
  exit 1
}

install_step() {
  local missing log=$logs/install.log
  mapfile -t missing < <("$root/scripts/install-deps" --missing)
  if [ ${#missing[@]} -eq 0 ]; then
    step "Everything needed is installed"
    return
  fi
  mkdir -p "$logs"
  step "Installing ${#missing[@]} packages (the first time takes minutes; log: $log)"
  if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null; then
    sudo -v || { echo "FAILED: installing needs root, and sudo refused" >&2; exit 1; }
  fi
  "$root/scripts/install-deps" </dev/null >"$log" 2>&1 || fail "installing the packages" "$log"
  done_step
}

# build_step [TARGET...]: configures the build tree and builds the targets (all when none given);
# the array configure_options adds to the configuration.
configure_options=()
build_step() {
  local log=$logs/build.log
  mkdir -p "$logs"
  step "Building into $build (log: $log)"
  {
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-i686.cmake" \
      -DCMAKE_BUILD_TYPE=Release "${configure_options[@]}" &&
      cmake --build "$build" -j"$(nproc)" ${1:+--target "$@"}
  } </dev/null >"$log" 2>&1 || fail "building" "$log"
  done_step
}

# route_step: says in one line how 32-bit programs run here (natively, or through qemu-i386
# registered in a namespace of our own), or ends the command at once with why and what to enable.
route_step() {
  local line
  line=$("$python" "$root/tests/support/wineprefix.py" route) || exit 1
  printf '==> %s\n' "$line"
}

# on_route COMMAND...: becomes the command, run where 32-bit programs run.
on_route() { exec "$python" "$root/tests/support/wineprefix.py" exec "$@"; }
