#!/usr/bin/env bash
# The first run over a tree, where every byte is hashed, beside the floors that bound it.
#
# Five measurements, each a ratio of medians of commands timed interleaved in this one run:
#   a warm    krelby -cnq over corpus a (about 100 000 real files) beside
#             `find DIR -type f -print0 | xargs -0 md5sum` (the md5sum floor), page cache warm
#   b warm    the same over corpus b (40 pseudo-random files of 16-256 MiB)
#   b cold    krelby -cnq over b with the page cache dropped before the run
#             (echo 3 > /proc/sys/vm/drop_caches) beside the same run right after it, warm
#   a memory  peak RSS of krelby -cnq over a (/usr/bin/time -f %M), median of three
#   a rerun   krelby -ql DB a with the database of the unchanged corpus (in a scratch directory,
#             never in the corpus), beside the stat floor `find DIR -printf '%s %T@ %C@\n'`
# `-cnq` starts from an empty database and saves none: nothing is written into the corpus.
#
# Usage: bench/first_run.sh [--runs N] [--cold-runs N] [--only LIST] [WORKDIR]
#   --runs N        interleaved rounds of each warm comparison (default 7, at least 3)
#   --cold-runs N   rounds of the cold comparison (default 5, at least 3)
#   --only LIST     comma-separated subset of a,b,cold,rss,rerun (default all)
#   WORKDIR         where the corpora a/ and b/ live (default /tmp/krelby-peers, built by
#                   bench/corpus.sh); they are only read
# Environment:
#   KRELBY=/path/to/krelby   use this binary and skip the build
#   BUILD_DIR=dir            release build directory (default /tmp/krelby-bench-build)
#
# Other work on this machine shares its cores: the load average is printed before and after, and
# every comparison interleaves its commands (A B A B ...) so that drift hits both alike.
# Exit status: 0 when every target is met, 1 when one is not, 2 on a setup error.

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$SCRIPT_DIR/common.sh"

RUNS=7
COLD_RUNS=5
ONLY=a,b,cold,rss,rerun
WORKDIR=/tmp/krelby-peers
while [ $# -gt 0 ]; do
  case "$1" in
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; RUNS=$2; shift ;;
    --cold-runs) [ $# -ge 2 ] || die "--cold-runs needs a number"; COLD_RUNS=$2; shift ;;
    --only) [ $# -ge 2 ] || die "--only needs a list"; ONLY=$2; shift ;;
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) die "unknown option '$1' (try --help)" ;;
    *) WORKDIR=$1 ;;
  esac
  shift
done
[[ "$RUNS" =~ ^[0-9]+$ ]] && [ "$RUNS" -ge 3 ] || die "--runs must be a whole number of at least 3"
[[ "$COLD_RUNS" =~ ^[0-9]+$ ]] && [ "$COLD_RUNS" -ge 3 ] || die "--cold-runs must be a whole number of at least 3"
wanted() { [[ ",$ONLY," == *",$1,"* ]]; }

A=$WORKDIR/a
B=$WORKDIR/b
for dir in "$A" "$B"; do
  [ -d "$dir" ] && [ -e "$dir.done" ] || die "no corpus $dir (build it with bench/corpus.sh $WORKDIR)"
done
if wanted cold; then
  [ -w /proc/sys/vm/drop_caches ] || die "the cold comparison needs root to write /proc/sys/vm/drop_caches"
fi

# Targets: krelby's median over the reference's median (rss: MiB).
TARGET_A=0.75
TARGET_B=0.45
TARGET_COLD=1.30
TARGET_RERUN=1.20
TARGET_RSS_MIB=32

build_krelby

SCRATCH=$(mktemp -d /tmp/krelby-first-run.XXXXXX)
trap 'rm -rf "$SCRATCH"' EXIT
cd "$SCRATCH"  # krelby's default database name, were one ever used, lands here

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
runs_of() { cut -d' ' -f1 "$1" | awk '{ printf "%.3f ", $1 }'; }
loadavg() { cut -d' ' -f1-3 /proc/loadavg; }

# One run of a shell command, its output discarded: "wall_seconds cpu_seconds" (user + system of
# the command and its children), appended to the file `out`.
time_into() {
  local out=$1 cmd=$2 TIMEFORMAT='%R %U %S' line
  line=$({ time bash -c "$cmd" >/dev/null 2>&1; } 2>&1) || die "failed: $cmd"
  awk '{ printf "%s %.6f\n", $1, $2 + $3 }' <<<"$line" >>"$out"
}

drop_caches() { sync; echo 3 >/proc/sys/vm/drop_caches; }
warm() { find "$1" -type f -print0 | xargs -0 -r cat >/dev/null; }

ROWS=()
FINDINGS=()
ALL_PASS=1
# row "what" krelby_seconds "reference" reference_seconds target
row() {
  local ratio verdict
  ratio=$(awk -v k="$2" -v r="$4" 'BEGIN { printf "%.3f", k / r }')
  verdict=$(awk -v x="$ratio" -v t="$5" 'BEGIN { print (x <= t) ? "PASS" : "FAIL" }')
  [ "$verdict" = PASS ] || ALL_PASS=0
  ROWS+=("$(printf '%-22s %9.3f s   %-34s %9.3f s   %6s  <=%-5s %s' "$1" "$2" "$3" "$4" "$ratio" "$5" "$verdict")")
}

q() { printf %q "$1"; }
K=$(q "$KRELBY")
md5_floor() { echo "find $(q "$1") -type f -print0 | xargs -0 md5sum"; }

# warm_pair name dir: krelby's first run beside the md5sum floor, page cache warm.
warm_pair() {
  local name=$1 dir=$2 target=$3 r
  local kcmd="$K -cnq $(q "$dir")" mcmd
  mcmd=$(md5_floor "$dir")
  note "$name: warming, then $RUNS interleaved rounds"
  warm "$dir"
  bash -c "$kcmd" >"$SCRATCH/$name.out"
  bash -c "$mcmd" >/dev/null
  : >"$SCRATCH/$name.k"
  : >"$SCRATCH/$name.m"
  for ((r = 1; r <= RUNS; r++)); do
    time_into "$SCRATCH/$name.k" "$kcmd"
    time_into "$SCRATCH/$name.m" "$mcmd"
  done
  row "first run $name, warm" "$(cut -d' ' -f1 "$SCRATCH/$name.k" | median)" "md5sum floor" \
    "$(cut -d' ' -f1 "$SCRATCH/$name.m" | median)" "$target"
  FINDINGS+=("$name warm wall (s): krelby $(runs_of "$SCRATCH/$name.k")| md5sum $(runs_of "$SCRATCH/$name.m")")
  FINDINGS+=("$name warm median CPU (user+sys): krelby $(cut -d' ' -f2 "$SCRATCH/$name.k" | median) s, md5sum $(cut -d' ' -f2 "$SCRATCH/$name.m" | median) s")
  FINDINGS+=("$name report: $(grep -E '^[0-9]+ bytes - ' "$SCRATCH/$name.out" | tail -n 1)")
}

LOAD_BEFORE=$(loadavg)

if wanted a; then warm_pair a "$A" "$TARGET_A"; fi
if wanted b; then warm_pair b "$B" "$TARGET_B"; fi

if wanted cold; then
  kcmd="$K -cnq $(q "$B")"
  note "b cold: $COLD_RUNS rounds of (drop caches, run) then the same run warm"
  : >"$SCRATCH/cold.k"
  : >"$SCRATCH/cold.w"
  for ((r = 1; r <= COLD_RUNS; r++)); do
    drop_caches
    time_into "$SCRATCH/cold.k" "$kcmd"
    time_into "$SCRATCH/cold.w" "$kcmd"  # the cold run just read every byte: all cached now
  done
  row "first run b, cold" "$(cut -d' ' -f1 "$SCRATCH/cold.k" | median)" "the same run, warm" \
    "$(cut -d' ' -f1 "$SCRATCH/cold.w" | median)" "$TARGET_COLD"
  FINDINGS+=("b cold wall (s): cold $(runs_of "$SCRATCH/cold.k")| warm $(runs_of "$SCRATCH/cold.w")")
fi

if wanted rss; then
  note "a memory: peak RSS of three first runs"
  warm "$A"
  : >"$SCRATCH/rss"
  for _ in 1 2 3; do
    /usr/bin/time -f %M -o "$SCRATCH/rss.one" "$KRELBY" -cnq "$A" >/dev/null 2>&1 || die "krelby failed on $A"
    cat "$SCRATCH/rss.one" >>"$SCRATCH/rss"
  done
  rss_kib=$(median <"$SCRATCH/rss")
  rss_mib=$(awk -v k="$rss_kib" 'BEGIN { printf "%.1f", k / 1024 }')
  verdict=$(awk -v m="$rss_mib" -v t="$TARGET_RSS_MIB" 'BEGIN { print (m <= t) ? "PASS" : "FAIL" }')
  [ "$verdict" = PASS ] || ALL_PASS=0
  ROWS+=("$(printf '%-22s %9s MiB %-34s %11s   %6s  <=%-5s %s' "peak RSS, first run a" "$rss_mib" "" "" "" "$TARGET_RSS_MIB" "$verdict")")
  FINDINGS+=("a peak RSS (KiB): $(tr '\n' ' ' <"$SCRATCH/rss")")
fi

if wanted rerun; then
  DB=$SCRATCH/a.dat
  note "a rerun: creating the database (untimed), then $RUNS interleaved rounds"
  "$KRELBY" -cql "$DB" "$A" >/dev/null || die "krelby could not create $DB"
  kcmd="$K -ql $(q "$DB") $(q "$A")"
  fcmd="find $(q "$A") -printf '%s %T@ %C@\n'"
  bash -c "$kcmd" >"$SCRATCH/rerun.out"
  grep -qE '^0 bytes - ' "$SCRATCH/rerun.out" || die "the rerun read content: $(tail -n 1 "$SCRATCH/rerun.out")"
  bash -c "$fcmd" >/dev/null
  : >"$SCRATCH/rerun.k"
  : >"$SCRATCH/rerun.f"
  for ((r = 1; r <= RUNS; r++)); do
    time_into "$SCRATCH/rerun.k" "$kcmd"
    time_into "$SCRATCH/rerun.f" "$fcmd"
  done
  row "unchanged rerun a" "$(cut -d' ' -f1 "$SCRATCH/rerun.k" | median)" "find -printf '%s %T@ %C@\\n'" \
    "$(cut -d' ' -f1 "$SCRATCH/rerun.f" | median)" "$TARGET_RERUN"
  FINDINGS+=("a rerun wall (s): krelby $(runs_of "$SCRATCH/rerun.k")| find $(runs_of "$SCRATCH/rerun.f")")
fi

echo
echo "machine: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores," \
  "$(awk '/MemTotal/ { printf "%.0f GiB", $2 / 1048576 }' /proc/meminfo)," \
  "$(grep -qw avx512f /proc/cpuinfo && echo AVX-512 || { grep -qw avx2 /proc/cpuinfo && echo AVX2 || echo "no AVX2"; }), $(uname -sr)," \
  "$(. /etc/os-release 2>/dev/null && echo "$PRETTY_NAME")"
echo "krelby: $KRELBY; medians of $RUNS warm / $COLD_RUNS cold interleaved rounds"
echo "load average before: $LOAD_BEFORE; after: $(loadavg)"
echo
printf '%-22s %11s   %-34s %11s   %6s  %-7s %s\n' what krelby reference "" ratio target result
for line in "${ROWS[@]}"; do echo "$line"; done
echo
for line in "${FINDINGS[@]}"; do echo "$line"; done
[ "$ALL_PASS" = 1 ]
