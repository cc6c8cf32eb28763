#!/usr/bin/env bash
# Loading and saving databases of a million and ten million entries, as ratios to the cost of
# stat-ing every file of a real tree, measured in the same run.
#
# The floor is `find TREE -printf '%s %T@ %C@\n'` over corpus (a) of bench/corpus.sh (about 100 000
# files), warm: what any run over that tree pays before it knows anything. Generated databases are
# valid (PathCRC order, ContentTable by CRC32, equal contents among them; bench/make_database.cpp).
# Figures, medians of interleaved runs:
#   - load of the 1M database, `krelby -nql DB EMPTYDIR`, over the floor       target <= 0.3
#   - load and save of it, `krelby -ql DB EMPTYDIR` (saved back byte for byte)  target <= 0.8
#   - load of the 10M database over the load of the 1M one                      target <= 11
#   - peak RSS of the 1M load, against file size + 64 bytes per entry + 16 MiB
#
# Usage: bench/database_scale.sh [--runs N] [--big-runs N] [--no-10m] [CORPUS_DIR]
#   CORPUS_DIR     the tree for the floor (default /tmp/krelby-peers/a, built by bench/corpus.sh)
#   --runs N       interleaved runs of each 1M command and of find (default 9)
#   --big-runs N   runs of the 10M load (default 3)
#   --no-10m       skip the 10M database (it takes about 1 GB of disk and 1.2 GB of memory)
# Environment:
#   KRELBY=/path/to/krelby, MAKE_DATABASE=/path/to/make_database   use these and skip the build
#   BUILD_DIR=dir     release build (default /tmp/krelby-bench-build)
#   WORK_DIR=dir      where the databases are generated (default /tmp/krelby-dbscale); they are
#                     deleted at the end
#
# Exit status: 0 when every target is met and every check holds, 1 otherwise, 2 on a setup error.

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$SCRIPT_DIR/common.sh"

RUNS=9
BIG_RUNS=3
WITH_10M=1
CORPUS=/tmp/krelby-peers/a
WORK_DIR=${WORK_DIR:-/tmp/krelby-dbscale}
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; RUNS=$2; shift ;;
    --big-runs) [ $# -ge 2 ] || die "--big-runs needs a number"; BIG_RUNS=$2; shift ;;
    --no-10m) WITH_10M=0 ;;
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) die "unknown option '$1' (try --help)" ;;
    *) CORPUS=$1 ;;
  esac
  shift
done
[[ "$RUNS" =~ ^[0-9]+$ ]] && [ "$RUNS" -ge 3 ] || die "--runs must be a whole number of at least 3"
[[ "$BIG_RUNS" =~ ^[0-9]+$ ]] && [ "$BIG_RUNS" -ge 1 ] || die "--big-runs must be a positive number"
[ -d "$CORPUS" ] || die "no corpus at $CORPUS (bench/corpus.sh builds it)"
[ -x /usr/bin/time ] || die "/usr/bin/time is needed for the peak RSS (apt-get install -y time)"

if [ -z "${KRELBY:-}" ] || [ -z "${MAKE_DATABASE:-}" ]; then
  BUILD_DIR=${BUILD_DIR:-/tmp/krelby-bench-build}
  note "release build in $BUILD_DIR"
  mkdir -p "$BUILD_DIR"
  if ! { cmake -S "$REPO_DIR" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKRELBY_TESTS=OFF -DKRELBY_BENCH=ON &&
         cmake --build "$BUILD_DIR" --target krelby make_database -j2; } >"$BUILD_DIR/bench-build.log" 2>&1; then
    tail -n 30 "$BUILD_DIR/bench-build.log" >&2
    die "release build failed (whole log: $BUILD_DIR/bench-build.log)"
  fi
  KRELBY=$BUILD_DIR/scanner/krelby
  MAKE_DATABASE=$BUILD_DIR/bench/make_database
fi

mkdir -p "$WORK_DIR"
SCRATCH=$(mktemp -d "$WORK_DIR/run.XXXXXX")
trap 'rm -rf "$SCRATCH"' EXIT
EMPTY_DIR=$SCRATCH/empty
mkdir -p "$EMPTY_DIR"
cd "$SCRATCH"

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
runs_of() { awk '{ printf "%.3f ", $1 }' "$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }
verdict() { awk -v r="$1" -v t="$2" 'BEGIN { print (r <= t) ? "PASS" : "FAIL" }'; }
# Wall seconds of one run of a command given as words, its output discarded.
time_once() {
  local TIMEFORMAT='%R'
  { time "$@" >/dev/null 2>&1; } 2>&1 || die "failed: $*"
}
peak_rss_kib() {
  /usr/bin/time -v -o "$SCRATCH/time.txt" "$@" >/dev/null 2>&1 || die "failed: $*"
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): *\([0-9]*\).*/\1/p' "$SCRATCH/time.txt"
}
CHECKS_OK=1
check() {  # check "what" condition-status
  if [ "$2" = 0 ]; then echo "check ok: $1"; else echo "CHECK FAILED: $1"; CHECKS_OK=0; fi
}
entries_of() { sed -n 's/^[0-9]* bytes - \([0-9]*\) entries.*/\1/p' "$1" | tail -n 1; }

DB1=$SCRATCH/db-1m.dat
note "generating $DB1"
"$MAKE_DATABASE" 1000000 "$DB1" >&2
cp "$DB1" "$DB1.orig"
db1_bytes=$(stat -c %s "$DB1")
load1=("$KRELBY" -nql "$DB1" "$EMPTY_DIR")
save1=("$KRELBY" -ql "$DB1" "$EMPTY_DIR")
find_cmd=(find "$CORPUS" -printf '%s %T@ %C@\n')

"${load1[@]}" >"$SCRATCH/load.out"
check "the 1M database loads with all its entries" "$([ "$(entries_of "$SCRATCH/load.out")" = 1000000 ]; echo $?)"
for _ in 1 2; do "${find_cmd[@]}" >/dev/null; "${save1[@]}" >/dev/null; done  # warm

note "$RUNS interleaved runs of find, the 1M load and the 1M load + save"
: >"$SCRATCH/find.t"; : >"$SCRATCH/load.t"; : >"$SCRATCH/save.t"
for ((r = 1; r <= RUNS; r++)); do
  time_once "${find_cmd[@]}" >>"$SCRATCH/find.t"
  time_once "${load1[@]}" >>"$SCRATCH/load.t"
  time_once "${save1[@]}" >>"$SCRATCH/save.t"
done
check "the 1M database saved back byte for byte, $((RUNS + 2)) times" "$(cmp -s "$DB1" "$DB1.orig"; echo $?)"
f_med=$(median <"$SCRATCH/find.t")
l_med=$(median <"$SCRATCH/load.t")
s_med=$(median <"$SCRATCH/save.t")
rss_kib=$(peak_rss_kib "${load1[@]}")
rss_budget_kib=$(( (db1_bytes + 64 * 1000000) / 1024 + 16 * 1024 ))

if [ "$WITH_10M" = 1 ]; then
  DB10=$SCRATCH/db-10m.dat
  note "generating $DB10"
  "$MAKE_DATABASE" 10000000 "$DB10" >&2
  db10_bytes=$(stat -c %s "$DB10")
  load10=("$KRELBY" -nql "$DB10" "$EMPTY_DIR")
  "${load10[@]}" >"$SCRATCH/load10.out"
  check "the 10M database loads with all its entries" "$([ "$(entries_of "$SCRATCH/load10.out")" = 10000000 ]; echo $?)"
  note "$BIG_RUNS interleaved runs of the 10M load and the 1M load"
  : >"$SCRATCH/load10.t"; : >"$SCRATCH/load1b.t"
  for ((r = 1; r <= BIG_RUNS; r++)); do
    time_once "${load10[@]}" >>"$SCRATCH/load10.t"
    time_once "${load1[@]}" >>"$SCRATCH/load1b.t"
  done
  rss10_kib=$(peak_rss_kib "${load10[@]}")
  rm -f "$DB10"
  l10_med=$(median <"$SCRATCH/load10.t")
  l1b_med=$(median <"$SCRATCH/load1b.t")
fi

echo
echo "krelby $KRELBY; $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1); load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo "floor: find over $CORPUS ($(find "$CORPUS" -type f | wc -l) files), warm"
printf '%-46s %s\n' \
  "find -printf '%s %T@ %C@\\n' (median of $RUNS)" "$(printf '%.3f s' "$f_med")  [$(runs_of "$SCRATCH/find.t")]" \
  "1M database" "$db1_bytes bytes" \
  "1M load, krelby -nql (median)" "$(printf '%.3f s' "$l_med")  [$(runs_of "$SCRATCH/load.t")]" \
  "1M load + save, krelby -ql (median)" "$(printf '%.3f s' "$s_med")  [$(runs_of "$SCRATCH/save.t")]" \
  "1M load / floor" "$(ratio "$l_med" "$f_med") (target <= 0.3) $(verdict "$(ratio "$l_med" "$f_med")" 0.3)" \
  "1M load + save / floor" "$(ratio "$s_med" "$f_med") (target <= 0.8) $(verdict "$(ratio "$s_med" "$f_med")" 0.8)" \
  "1M load peak RSS" "$rss_kib KiB (budget $rss_budget_kib KiB) $(verdict "$rss_kib" "$rss_budget_kib")"
ok=1
for r in "$(ratio "$l_med" "$f_med") 0.3" "$(ratio "$s_med" "$f_med") 0.8" "$rss_kib $rss_budget_kib"; do
  # shellcheck disable=SC2086
  [ "$(verdict $r)" = PASS ] || ok=0
done
if [ "$WITH_10M" = 1 ]; then
  printf '%-46s %s\n' \
    "10M database" "$db10_bytes bytes" \
    "10M load (median of $BIG_RUNS)" "$(printf '%.3f s' "$l10_med")  [$(runs_of "$SCRATCH/load10.t")]" \
    "1M load beside it (median of $BIG_RUNS)" "$(printf '%.3f s' "$l1b_med")  [$(runs_of "$SCRATCH/load1b.t")]" \
    "10M load / 1M load" "$(ratio "$l10_med" "$l1b_med") (target <= 11) $(verdict "$(ratio "$l10_med" "$l1b_med")" 11)" \
    "10M load peak RSS" "$rss10_kib KiB"
  [ "$(verdict "$(ratio "$l10_med" "$l1b_med")" 11)" = PASS ] || ok=0
fi
[ "$ok" = 1 ] && [ "$CHECKS_OK" = 1 ]
