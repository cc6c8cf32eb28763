#!/usr/bin/env bash
# Wall time of a full krelby scan beside `md5sum` over the same files.
#
# A scan with an empty database hashes every byte of every regular file (CRC-32 and MD5), so on a
# warm page cache it should cost little more than md5sum reading and hashing the same tree. Two
# corpora show the two sides of that cost: "small" (tens of thousands of small real files, where
# the walk, stat and open per file dominate) and "large" (a few big files of pseudo-random data,
# where the hashing loop dominates).
#
# Usage: bench/scan_vs_md5sum.sh [--rebuild] [--runs N]
#   --rebuild   build both corpora afresh even if they exist
#   --runs N    timed repetitions of each command per corpus (default 9, at least 5)
# Environment:
#   KRELBY=/path/to/krelby      use this binary and skip the build
#   BUILD_DIR=dir               release build directory (default /tmp/krelby-bench-build)
#   WORK_DIR=dir                where the corpora live (default /tmp/krelby-bench-corpus)
#   SMALL_SOURCES="dir ..."     trees copied into the small corpus, in this order, until it holds
#                               at least SMALL_MIN_FILES regular files (default 20000)
#   LARGE_FILES=N LARGE_MIB=M   the large corpus: N-1 random files of M MiB plus one exact copy
#                               (default 6 files of 256 MiB)
#   TIMER=hyperfine|bash        how each run is timed (default: hyperfine when installed)
#
# The two commands are timed interleaved (A B A B ...) in one run, so that drift in the load of
# this shared machine hits both alike; each corpus reports the median of either.
# Exit status: 0 when every corpus meets its target, 1 when one does not, 2 on a setup error.

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)
BUILD_DIR=${BUILD_DIR:-/tmp/krelby-bench-build}
WORK_DIR=${WORK_DIR:-/tmp/krelby-bench-corpus}
SMALL_SOURCES=${SMALL_SOURCES:-"/usr/share/doc /usr/include /usr/share/man /usr/share/locale /usr/lib/python3"}
SMALL_MIN_FILES=${SMALL_MIN_FILES:-20000}
LARGE_FILES=${LARGE_FILES:-6}
LARGE_MIB=${LARGE_MIB:-256}
RUNS=9
REBUILD=0

# The ratio krelby/md5sum each corpus must stay within.
declare -A TARGET=([small]=1.30 [large]=1.10)

# shellcheck source=common.sh source-path=SCRIPTDIR
. "$SCRIPT_DIR/common.sh"

while [ $# -gt 0 ]; do
  case "$1" in
    --rebuild) REBUILD=1 ;;
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; RUNS=$2; shift ;;
    --runs=*) RUNS=${1#--runs=} ;;
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) die "unknown argument '$1' (try --help)" ;;
  esac
  shift
done
[[ "$RUNS" =~ ^[0-9]+$ ]] && [ "$RUNS" -ge 5 ] || die "--runs must be a whole number of at least 5"

choose_timer

# --- the binary -------------------------------------------------------------------------------
build_krelby

# --- the corpora ------------------------------------------------------------------------------
# A corpus counts as built once its ".done" file stands beside it (never inside: the scan would
# hash it).
mkdir -p "$WORK_DIR"
WORK_DIR=$(realpath "$WORK_DIR")

count_files() { find "$1" -type f | wc -l; }

build_small() {
  local dir=$WORK_DIR/small
  rm -rf "$dir" "$dir.done"
  mkdir -p "$dir"
  local src
  for src in $SMALL_SOURCES; do
    [ -d "$src" ] || continue
    [ "$(count_files "$dir")" -ge "$SMALL_MIN_FILES" ] && break
    note "small corpus: copying $src"
    # Unreadable corners of a system tree are not worth failing over.
    cp -a "$src" "$dir/$(echo "${src#/}" | tr / _)" 2>/dev/null || true
  done
  [ "$(count_files "$dir")" -gt 0 ] || die "small corpus is empty (SMALL_SOURCES=$SMALL_SOURCES)"
  touch "$dir.done"
}

# Writes `bytes` pseudo-random bytes for `seed` to `out`, the same bytes on every machine.
random_file() {
  local seed=$1 bytes=$2 out=$3
  if command -v openssl >/dev/null; then
    # AES-CTR over zeros is a fast keystream; head ends the pipe, so openssl's SIGPIPE is expected.
    (openssl enc -aes-128-ctr -pbkdf2 -nosalt -pass "pass:krelby-bench-$seed" </dev/zero 2>/dev/null || true) |
      head -c "$bytes" >"$out"
  else
    python3 - "$seed" "$bytes" "$out" <<'EOF'
import random, sys
seed, left, out = sys.argv[1], int(sys.argv[2]), sys.argv[3]
rng = random.Random("krelby-bench-" + seed)
with open(out, "wb") as f:
    while left > 0:
        n = min(left, 1 << 24)
        f.write(rng.randbytes(n))
        left -= n
EOF
  fi
  [ "$(stat -c %s "$out")" -eq "$bytes" ] || die "could not write $out"
}

build_large() {
  local dir=$WORK_DIR/large bytes=$((LARGE_MIB * 1024 * 1024)) i
  [ "$LARGE_FILES" -ge 2 ] || die "LARGE_FILES must be at least 2 (one of them is the copy)"
  rm -rf "$dir" "$dir.done"
  mkdir -p "$dir"
  for ((i = 1; i < LARGE_FILES; i++)); do
    note "large corpus: random file $i of $((LARGE_FILES - 1)) ($LARGE_MIB MiB)"
    random_file "$i" "$bytes" "$dir/random-$i.bin"
  done
  cp "$dir/random-1.bin" "$dir/random-1-copy.bin"  # the one duplicate
  touch "$dir.done"
}

for corpus in small large; do
  if [ "$REBUILD" = 1 ] || [ ! -e "$WORK_DIR/$corpus.done" ]; then
    "build_$corpus"
  else
    note "reusing $WORK_DIR/$corpus (--rebuild to build it afresh)"
  fi
done

# --- measuring --------------------------------------------------------------------------------
SCRATCH=$(mktemp -d /tmp/krelby-bench-run.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT

sum_lines() { awk '{ s += $1 } END { printf "%.0f\n", s }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One run of a shell command, its output discarded: "wall_seconds cpu_seconds", the CPU time being
# user + system of the command and all its children. On a machine shared with other work the wall
# time carries the others' load; the CPU time hardly does.
time_once() {
  local cmd=$1
  if [ "$TIMER" = hyperfine ]; then
    local json=$SCRATCH/once.json
    hyperfine --runs 1 --style none --export-json "$json" "$cmd" >/dev/null 2>&1 || die "failed: $cmd"
    jq -r '.results[0] | "\(.times[0]) \(.user + .system)"' "$json"
  else
    local TIMEFORMAT='%R %U %S' line
    line=$({ time bash -c "$cmd" >/dev/null 2>&1; } 2>&1) || die "failed: $cmd"
    awk '{ printf "%s %.6f\n", $1, $2 + $3 }' <<<"$line"
  fi
}

ROWS=()
FINDINGS=()
ALL_PASS=1

for corpus in small large; do
  dir=$WORK_DIR/$corpus
  q=$(printf %q "$dir")
  krelby_cmd="$(printf %q "$KRELBY") -cqn $q >/dev/null"
  md5_cmd="find $q -type f -print0 | xargs -0 md5sum >/dev/null"

  # What each side reads. md5sum gets the regular files only; the scan also follows symbolic links
  # that lead to regular files (and never enters linked directories).
  files=$(count_files "$dir")
  bytes=$(find "$dir" -type f -printf '%s\n' | sum_lines)
  link_files=$(find "$dir" -type l -xtype f | wc -l)
  link_bytes=$(find "$dir" -type l -xtype f -print0 | xargs -0 -r stat -L -c %s | sum_lines)

  note "$corpus: warming the page cache"
  find "$dir" -type f -print0 | xargs -0 -r cat >/dev/null
  # One untimed run of each also warms dentries and inodes; the scan's own report gives its count.
  report=$(cd "$SCRATCH" && "$KRELBY" -cqn "$dir") || die "krelby failed on $dir"
  bash -c "$md5_cmd"
  read -r scanned entries dupes < <(echo "$report" | sed -n 's/^\([0-9]*\) bytes - \([0-9]*\) entries - \([0-9]*\) dupes.*/\1 \2 \3/p' | tail -n 1)
  [ -n "${scanned:-}" ] || die "no final report from krelby on $dir"
  if [ "$scanned" -eq "$bytes" ]; then
    FINDINGS+=("$corpus: krelby hashed $scanned bytes = the regular files' $bytes bytes ($entries entries, $dupes dupes)")
  else
    FINDINGS+=("$corpus: krelby hashed $scanned bytes, the regular files hold $bytes (difference $((scanned - bytes)));
        $link_files symbolic links lead to regular files of $link_bytes bytes, so the scan should read $((bytes + link_bytes)): $(
        [ "$scanned" -eq $((bytes + link_bytes)) ] && echo match || echo MISMATCH) ($entries entries for $files files + $link_files links, $dupes dupes)")
  fi

  note "$corpus: $RUNS interleaved runs of each ($TIMER)"
  : >"$SCRATCH/$corpus.krelby"
  : >"$SCRATCH/$corpus.md5sum"
  for ((r = 1; r <= RUNS; r++)); do
    (cd "$SCRATCH" && time_once "$krelby_cmd") >>"$SCRATCH/$corpus.krelby"
    time_once "$md5_cmd" >>"$SCRATCH/$corpus.md5sum"
  done
  k=$(cut -d' ' -f1 "$SCRATCH/$corpus.krelby" | median)
  m=$(cut -d' ' -f1 "$SCRATCH/$corpus.md5sum" | median)
  ratio=$(awk -v k="$k" -v m="$m" 'BEGIN { printf "%.3f", k / m }')
  verdict=$(awk -v r="$ratio" -v t="${TARGET[$corpus]}" 'BEGIN { print (r <= t) ? "PASS" : "FAIL" }')
  [ "$verdict" = PASS ] || ALL_PASS=0
  ROWS+=("$(printf '%-6s %8s %13s %10.3f %10.3f %7s %7s  %s' "$corpus" "$files" "$bytes" "$k" "$m" "$ratio" "<=${TARGET[$corpus]}" "$verdict")")

  # Second opinions, less disturbed by the other users of the machine: the fastest runs, and the
  # median CPU time.
  kmin=$(cut -d' ' -f1 "$SCRATCH/$corpus.krelby" | sort -g | head -n 1)
  mmin=$(cut -d' ' -f1 "$SCRATCH/$corpus.md5sum" | sort -g | head -n 1)
  kcpu=$(cut -d' ' -f2 "$SCRATCH/$corpus.krelby" | median)
  mcpu=$(cut -d' ' -f2 "$SCRATCH/$corpus.md5sum" | median)
  FINDINGS+=("$(awk -v c="$corpus" -v k="$kmin" -v m="$mmin" -v kc="$kcpu" -v mc="$mcpu" 'BEGIN {
    printf "%s fastest wall: krelby %.3f s, md5sum %.3f s, ratio %.3f; median CPU (user+sys): krelby %.3f s, md5sum %.3f s, ratio %.3f",
      c, k, m, k / m, kc, mc, kc / mc }')")
  runs() { cut -d' ' -f1 "$1" | awk '{ printf "%.3f ", $1 }'; }
  FINDINGS+=("$corpus wall per run (s): krelby $(runs "$SCRATCH/$corpus.krelby")| md5sum $(runs "$SCRATCH/$corpus.md5sum")")
done

echo
echo "krelby -cqn DIR  vs  find DIR -type f -print0 | xargs -0 md5sum   (median of $RUNS interleaved runs, $TIMER)"
printf '%-6s %8s %13s %10s %10s %7s %7s  %s\n' corpus files bytes krelby_s md5sum_s ratio target result
for row in "${ROWS[@]}"; do echo "$row"; done
echo
for line in "${FINDINGS[@]}"; do echo "$line"; done
[ "$ALL_PASS" = 1 ]
