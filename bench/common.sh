# Sourced by the benchmark scripts: messages, installing tools from Debian's packages (the other
# duplicate finders among them), and the release build of krelby.
# shellcheck shell=bash

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$BENCH_DIR/.." && pwd)

die() { echo "error: $*" >&2; exit 2; }
note() { echo "== $*" >&2; }

# Installs the Debian packages named that are not installed yet; `apt-get update` runs once, and
# only when something is missing. Recommends stay out (rmlint would bring its GUI).
ensure_packages() {
  local missing=() pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}\n' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$pkg")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  [ "$(id -u)" = 0 ] || die "missing packages (${missing[*]}) and not root to install them"
  note "installing ${missing[*]}"
  if [ -z "${PEER_TOOLS_APT_UPDATED:-}" ]; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq >&2 || die "apt-get update failed"
    PEER_TOOLS_APT_UPDATED=1
  fi
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2 ||
    die "apt-get install ${missing[*]} failed"
}

# Sets KRELBY to the binary to measure: $KRELBY when given, else a release build of this tree in
# $BUILD_DIR (default /tmp/krelby-bench-build).
build_krelby() {
  BUILD_DIR=${BUILD_DIR:-/tmp/krelby-bench-build}
  if [ -n "${KRELBY:-}" ]; then
    [ -x "$KRELBY" ] || die "KRELBY=$KRELBY is not an executable"
    note "using $KRELBY (no build)"
  else
    note "release build in $BUILD_DIR"
    mkdir -p "$BUILD_DIR"
    if ! { cmake -S "$REPO_DIR" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKRELBY_TESTS=OFF &&
           cmake --build "$BUILD_DIR" --target krelby -j2; } >"$BUILD_DIR/bench-build.log" 2>&1; then
      tail -n 30 "$BUILD_DIR/bench-build.log" >&2
      die "release build failed (whole log: $BUILD_DIR/bench-build.log)"
    fi
    KRELBY=$BUILD_DIR/scanner/krelby
  fi
  KRELBY=$(realpath "$KRELBY")
}

# Sets TIMER to how runs are timed: hyperfine (with jq to read its results) when installed, else a
# plain bash loop; a TIMER given in the environment is checked instead.
choose_timer() {
  if [ -z "${TIMER:-}" ]; then
    if command -v hyperfine >/dev/null && command -v jq >/dev/null; then TIMER=hyperfine; else TIMER=bash; fi
  fi
  case "$TIMER" in
    hyperfine) command -v hyperfine >/dev/null && command -v jq >/dev/null || die "TIMER=hyperfine needs hyperfine and jq" ;;
    bash) ;;
    *) die "TIMER must be hyperfine or bash" ;;
  esac
}
