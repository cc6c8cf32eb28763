#!/usr/bin/env bash
# What a repeated run over an unchanged tree costs, beside `find` listing the same tree, and what
# loading and saving a database of a million entries costs.
#
# A run over a tree the database already knows stats every file and reads none, so it should cost
# little more than `find DIR -printf '%s %T@ %C@\n'`, which stats every file too. Three parts:
#   1. unchanged rerun: `krelby -ql DB DIR` beside find over about 100 000 real files copied from
#      this machine, timed interleaved; the target is krelby/find <= 1.30 on the medians;
#   2. big database: a generated database of BIG_ENTRIES (default 1 000 000) entries, loaded only
#      (`krelby -nql BIG EMPTYDIR`) and loaded and saved back (`krelby -ql BIG EMPTYDIR`, which must
#      leave the file byte for byte as it was); the save costs the difference of the two medians;
#   3. memory: peak RSS of the rerun and of the big load and save, and the bytes each entry costs
#      above a run over an empty directory without a database.
#
# Usage: bench/rerun_vs_find.sh [--rebuild] [--runs N] [--big-runs N] [--keep]
#   --rebuild      build the corpus afresh even if it exists
#   --runs N       timed repetitions of each command of the rerun part (default 9, at least 7)
#   --big-runs N   timed repetitions of each command of the big database part (default 7, at least 5)
#   --keep         keep the generated big database (and its pristine copy) in WORK_DIR
# Environment:
#   KRELBY=/path/to/krelby      use this binary and skip the build
#   BUILD_DIR=dir               release build directory (default /tmp/krelby-bench-build)
#   WORK_DIR=dir                where the corpus and databases live (default /tmp/krelby-rerun-corpus)
#   CORPUS_SOURCES="dir ..."    trees copied into the corpus, in this order (globs allowed), until it
#                               holds CORPUS_FILES regular files (default 100000) or would pass
#                               CORPUS_MAX_BYTES (default 3 GiB); a tree too big to fit whole is
#                               copied entry by entry, descending, so the count stops near the goal
#   BIG_ENTRIES=N               entries of the generated database (default 1000000)
#   TIMER=hyperfine|bash        how each run is timed (default: hyperfine when installed)
#
# Exit status: 0 when the rerun meets its target and every check holds, 1 otherwise, 2 on a setup
# error.

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO_DIR=$(cd "$SCRIPT_DIR/.." && pwd)
BUILD_DIR=${BUILD_DIR:-/tmp/krelby-bench-build}
WORK_DIR=${WORK_DIR:-/tmp/krelby-rerun-corpus}
CORPUS_SOURCES=${CORPUS_SOURCES:-"/usr/share /usr/include /usr/lib/python3* /root/.pyenv/versions /usr/lib/x86_64-linux-gnu /usr/lib /opt"}
CORPUS_FILES=${CORPUS_FILES:-100000}
CORPUS_MAX_BYTES=${CORPUS_MAX_BYTES:-$((3 * 1024 * 1024 * 1024))}
BIG_ENTRIES=${BIG_ENTRIES:-1000000}
RUNS=9
BIG_RUNS=7
REBUILD=0
KEEP=0
TARGET=1.30  # krelby -ql over find, medians

# shellcheck source=common.sh source-path=SCRIPTDIR
. "$SCRIPT_DIR/common.sh"

while [ $# -gt 0 ]; do
  case "$1" in
    --rebuild) REBUILD=1 ;;
    --keep) KEEP=1 ;;
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; RUNS=$2; shift ;;
    --runs=*) RUNS=${1#--runs=} ;;
    --big-runs) [ $# -ge 2 ] || die "--big-runs needs a number"; BIG_RUNS=$2; shift ;;
    --big-runs=*) BIG_RUNS=${1#--big-runs=} ;;
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) die "unknown argument '$1' (try --help)" ;;
  esac
  shift
done
[[ "$RUNS" =~ ^[0-9]+$ ]] && [ "$RUNS" -ge 7 ] || die "--runs must be a whole number of at least 7"
[[ "$BIG_RUNS" =~ ^[0-9]+$ ]] && [ "$BIG_RUNS" -ge 5 ] || die "--big-runs must be a whole number of at least 5"
[[ "$BIG_ENTRIES" =~ ^[0-9]+$ ]] && [ "$BIG_ENTRIES" -ge 1 ] || die "BIG_ENTRIES must be a positive number"
command -v python3 >/dev/null || die "python3 is needed to generate the big database"
[ -x /usr/bin/time ] || die "/usr/bin/time is needed for the peak RSS (apt-get install -y time)"

choose_timer

# --- the binary -------------------------------------------------------------------------------
build_krelby

# --- the corpus -------------------------------------------------------------------------------
# The tree is WORK_DIR/tree; it counts as built once WORK_DIR/tree.done stands beside it. The
# databases live beside the tree, never inside it.
mkdir -p "$WORK_DIR"
WORK_DIR=$(realpath "$WORK_DIR")
TREE=$WORK_DIR/tree

COPIED_FILES=0
COPIED_BYTES=0

# "files bytes" of the regular files below a path (the path itself when it is a regular file).
measure() { find "$1" -type f -printf '%s\n' 2>/dev/null | awk '{ n++; s += $1 } END { printf "%d %.0f\n", n, s }'; }

# Copies src to dst with cp -a when it fits in what is left of the goal; otherwise makes dst and
# goes through src's entries one by one, descending into directories, until the goal is reached.
copy_some() {
  local src=$1 dst=$2 files bytes
  read -r files bytes < <(measure "$src")
  [ "$files" -gt 0 ] || return 0
  if [ $((COPIED_FILES + files)) -le "$CORPUS_FILES" ] && [ $((COPIED_BYTES + bytes)) -le "$CORPUS_MAX_BYTES" ]; then
    # Unreadable corners of a system tree are not worth failing over.
    cp -a "$src" "$dst" 2>/dev/null || true
    COPIED_FILES=$((COPIED_FILES + files))
    COPIED_BYTES=$((COPIED_BYTES + bytes))
    return 0
  fi
  [ -d "$src" ] && [ ! -L "$src" ] || return 0  # a single file too big for what is left
  mkdir -p "$dst"
  local child
  while IFS= read -r -d '' child; do
    [ "$COPIED_FILES" -lt "$CORPUS_FILES" ] || break
    if [ -d "$child" ] && [ ! -L "$child" ]; then
      copy_some "$child" "$dst/${child##*/}"
    elif [ -f "$child" ] && [ ! -L "$child" ]; then
      copy_some "$child" "$dst/${child##*/}"
    else
      cp -a "$child" "$dst/" 2>/dev/null || true  # links and the like cost no file of the goal
    fi
  done < <(find "$src" -mindepth 1 -maxdepth 1 -print0 | sort -z)
  touch -r "$src" "$dst" 2>/dev/null || true
}

build_corpus() {
  rm -rf "$TREE" "$TREE.done"
  mkdir -p "$TREE"
  local src
  # The sources are globs on purpose.
  # shellcheck disable=SC2086
  for src in $CORPUS_SOURCES; do
    [ -d "$src" ] || continue
    [ "$COPIED_FILES" -lt "$CORPUS_FILES" ] || break
    note "corpus: copying from $src ($COPIED_FILES files so far)"
    copy_some "$src" "$TREE/$(echo "${src#/}" | tr / _)"
  done
  [ "$COPIED_FILES" -gt 0 ] || die "the corpus is empty (CORPUS_SOURCES=$CORPUS_SOURCES)"
  touch "$TREE.done"
}

if [ "$REBUILD" = 1 ] || [ ! -e "$TREE.done" ]; then
  build_corpus
else
  note "reusing $TREE (--rebuild to build it afresh)"
fi

# --- helpers ----------------------------------------------------------------------------------
SCRATCH=$(mktemp -d /tmp/krelby-rerun-run.XXXXXX)
BIG_DB=$WORK_DIR/big-$BIG_ENTRIES.dat
cleanup() {
  rm -rf "$SCRATCH"
  if [ "$KEEP" = 0 ]; then rm -f "$BIG_DB" "$BIG_DB.orig"; fi
}
trap cleanup EXIT

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.6f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
column_of() { cut -d' ' -f"$1" "$2"; }
runs_of() { cut -d' ' -f1 "$1" | awk '{ printf "%.3f ", $1 }'; }

# One run of a command given as words (no shell in between, output discarded):
# "wall_seconds cpu_seconds", the CPU time being user + system.
time_once() {
  if [ "$TIMER" = hyperfine ]; then
    local json=$SCRATCH/once.json cmd
    cmd=$(printf '%q ' "$@")
    hyperfine -N --runs 1 --style none --export-json "$json" "$cmd" >/dev/null 2>&1 || die "failed: $cmd"
    jq -r '.results[0] | "\(.times[0]) \(.user + .system)"' "$json"
  else
    local TIMEFORMAT='%R %U %S' line
    line=$({ time "$@" >/dev/null 2>&1; } 2>&1) || die "failed: $*"
    awk '{ printf "%s %.6f\n", $1, $2 + $3 }' <<<"$line"
  fi
}

# Runs a command with its output kept; dies when it fails.
run_kept() {
  local out=$1
  shift
  local status=0
  "$@" >"$out" 2>&1 || status=$?
  [ "$status" = 0 ] || { tail -n 20 "$out" >&2; die "failed (status $status): $*"; }
}

# "bytes entries dupes" from a krelby report.
report_numbers() {
  sed -n 's/^\([0-9]*\) bytes - \([0-9]*\) entries - \([0-9]*\) dupes.*/\1 \2 \3/p' "$1" | tail -n 1
}

# Peak RSS in KiB of one run of a command (its output discarded).
peak_rss_kib() {
  /usr/bin/time -v -o "$SCRATCH/time.txt" "$@" >/dev/null 2>&1 || die "failed: $*"
  sed -n 's/^[[:space:]]*Maximum resident set size (kbytes): *\([0-9]*\).*/\1/p' "$SCRATCH/time.txt"
}

FINDINGS=()
CHECKS_OK=1
check() {  # check "what" condition-status
  if [ "$2" = 0 ]; then FINDINGS+=("check ok: $1"); else FINDINGS+=("CHECK FAILED: $1"); CHECKS_OK=0; fi
}

EMPTY_DIR=$SCRATCH/empty
mkdir -p "$EMPTY_DIR"
cd "$SCRATCH"  # krelby's default database name, were one ever used, lands here

# --- 1. unchanged rerun -----------------------------------------------------------------------
read -r files bytes < <(measure "$TREE")
# What krelby records: every regular file, and every symbolic link that leads to one.
link_files=$(find "$TREE" -type l -xtype f | wc -l)
expected_entries=$((files + link_files))
DB=$WORK_DIR/tree.dat
rm -f "$DB"
note "corpus: $files regular files, $bytes bytes, $link_files links to regular files"

note "creating $DB (hashes the whole corpus, untimed)"
run_kept "$SCRATCH/create.out" "$KRELBY" -cql "$DB" "$TREE"
read -r c_bytes c_entries c_dupes < <(report_numbers "$SCRATCH/create.out")
FINDINGS+=("database creation: $c_bytes bytes hashed, $c_entries entries, $c_dupes dupes, $(sed -n 's/.*needed time: //p' "$SCRATCH/create.out" | tail -n 1)")
db_bytes=$(stat -c %s "$DB")
cp "$DB" "$SCRATCH/tree.dat.before"

rerun_cmd=("$KRELBY" -ql "$DB" "$TREE")
nosave_cmd=("$KRELBY" -nql "$DB" "$TREE")
find_cmd=(find "$TREE" -printf '%s %T@ %C@\n')

note "rerun: warming up"
run_kept "$SCRATCH/rerun.out" "${rerun_cmd[@]}"
read -r r_bytes r_entries _ < <(report_numbers "$SCRATCH/rerun.out")
check "rerun read nothing: '$r_bytes bytes' (want 0)" "$([ "$r_bytes" = 0 ]; echo $?)"
check "rerun entries $r_entries = regular files + links to them $expected_entries" \
  "$([ "$r_entries" = "$expected_entries" ]; echo $?)"
gone=$(grep -c "is gone\|got modified" "$SCRATCH/rerun.out" || true)
check "rerun reported no file gone or modified ($gone lines)" "$([ "$gone" = 0 ]; echo $?)"
check "rerun saved the database byte for byte as it was" "$(cmp -s "$DB" "$SCRATCH/tree.dat.before"; echo $?)"
for _ in 1 2; do
  "${rerun_cmd[@]}" >/dev/null
  "${nosave_cmd[@]}" >/dev/null
  "${find_cmd[@]}" >/dev/null
done

note "rerun: $RUNS interleaved runs of krelby -ql, krelby -nql and find ($TIMER)"
: >"$SCRATCH/rerun.t"
: >"$SCRATCH/nosave.t"
: >"$SCRATCH/find.t"
for ((r = 1; r <= RUNS; r++)); do
  time_once "${rerun_cmd[@]}" >>"$SCRATCH/rerun.t"
  time_once "${nosave_cmd[@]}" >>"$SCRATCH/nosave.t"
  time_once "${find_cmd[@]}" >>"$SCRATCH/find.t"
done
k_med=$(column_of 1 "$SCRATCH/rerun.t" | median)
n_med=$(column_of 1 "$SCRATCH/nosave.t" | median)
f_med=$(column_of 1 "$SCRATCH/find.t" | median)
k_cpu=$(column_of 2 "$SCRATCH/rerun.t" | median)
n_cpu=$(column_of 2 "$SCRATCH/nosave.t" | median)
f_cpu=$(column_of 2 "$SCRATCH/find.t" | median)
k_min=$(column_of 1 "$SCRATCH/rerun.t" | sort -g | head -n 1)
f_min=$(column_of 1 "$SCRATCH/find.t" | sort -g | head -n 1)
ratio=$(awk -v k="$k_med" -v f="$f_med" 'BEGIN { printf "%.3f", k / f }')
verdict=$(awk -v r="$ratio" -v t="$TARGET" 'BEGIN { print (r <= t) ? "PASS" : "FAIL" }')
FINDINGS+=("rerun wall per run (s): krelby -ql $(runs_of "$SCRATCH/rerun.t")| krelby -nql $(runs_of "$SCRATCH/nosave.t")| find $(runs_of "$SCRATCH/find.t")")
FINDINGS+=("$(awk -v k="$k_min" -v f="$f_min" -v kc="$k_cpu" -v nc="$n_cpu" -v fc="$f_cpu" 'BEGIN {
  printf "rerun fastest wall: krelby %.3f s, find %.3f s, ratio %.3f; median CPU (user+sys): krelby -ql %.3f s, -nql %.3f s, find %.3f s, ratio -ql/find %.3f",
    k, f, k / f, kc, nc, fc, kc / fc }')")

# --- 2. big database --------------------------------------------------------------------------
note "big database: generating $BIG_ENTRIES entries in $BIG_DB"
python3 - "$BIG_ENTRIES" "$BIG_DB" <<'EOF'
# Entries for paths that exist nowhere, with made-up content checksums, laid out as a save lays
# them: PathTable in ascending PathCRC, ContentTable in ascending CRC32, records back to back.
import hashlib, struct, sys, zlib
count, out = int(sys.argv[1]), sys.argv[2]
entries = []
for i in range(count):
    path = b"/nonexistent/dir%03d/file%07d" % (i // 1000 % 1000, i)
    content = hashlib.md5(b"content %d" % i).digest()
    crc = zlib.crc32(content) or 1  # 0 would mean "not hashed"
    entries.append((zlib.crc32(path + b"\0"), i, path, crc, content[::-1]))
entries.sort()
offset = 13 + 8 * count  # header, then both tables of `count` offsets
path_table, by_content, records = [], [], []
for path_crc, i, path, crc, md5 in entries:
    size = (i * 2654435761) % 4000000000
    ctime = 1500000000 + i
    records.append(struct.pack("<II16sIHIqqH", offset, crc, md5, path_crc, 0, size, ctime, ctime - 86400,
                               len(path) + 1) + path + b"\0")
    path_table.append(offset)
    by_content.append((crc, offset))
    offset += 52 + len(path) + 1
by_content.sort()
with open(out, "wb") as f:
    f.write(b"QD\0\0\1" + struct.pack("<II", count, count))
    f.write(struct.pack("<%dI" % count, *path_table))
    f.write(struct.pack("<%dI" % count, *(o for _, o in by_content)))
    f.write(b"".join(records))
EOF
big_bytes=$(stat -c %s "$BIG_DB")
cp "$BIG_DB" "$BIG_DB.orig"

load_cmd=("$KRELBY" -nql "$BIG_DB" "$EMPTY_DIR")
save_cmd=("$KRELBY" -ql "$BIG_DB" "$EMPTY_DIR")
note "big database: checking and warming up"
run_kept "$SCRATCH/big.out" "${load_cmd[@]}"
read -r b_bytes b_entries _ < <(report_numbers "$SCRATCH/big.out")
check "big database loads: '$b_bytes bytes - $b_entries entries' (want 0 and $BIG_ENTRIES)" \
  "$([ "$b_bytes" = 0 ] && [ "$b_entries" = "$BIG_ENTRIES" ]; echo $?)"
run_kept "$SCRATCH/big.out" "${save_cmd[@]}"
check "big database saved back byte for byte as it was" "$(cmp -s "$BIG_DB" "$BIG_DB.orig"; echo $?)"

note "big database: $BIG_RUNS interleaved runs of load only and load + save ($TIMER)"
: >"$SCRATCH/load.t"
: >"$SCRATCH/save.t"
for ((r = 1; r <= BIG_RUNS; r++)); do
  time_once "${load_cmd[@]}" >>"$SCRATCH/load.t"
  time_once "${save_cmd[@]}" >>"$SCRATCH/save.t"
done
check "big database still byte for byte as generated after $BIG_RUNS more saves" "$(cmp -s "$BIG_DB" "$BIG_DB.orig"; echo $?)"
l_med=$(column_of 1 "$SCRATCH/load.t" | median)
s_med=$(column_of 1 "$SCRATCH/save.t" | median)
l_cpu=$(column_of 2 "$SCRATCH/load.t" | median)
s_cpu=$(column_of 2 "$SCRATCH/save.t" | median)
save_only=$(awk -v s="$s_med" -v l="$l_med" 'BEGIN { printf "%.3f", s - l }')
FINDINGS+=("big wall per run (s): load $(runs_of "$SCRATCH/load.t")| load+save $(runs_of "$SCRATCH/save.t")")
FINDINGS+=("$(awk -v l="$l_cpu" -v s="$s_cpu" 'BEGIN { printf "big median CPU (user+sys): load %.3f s, load+save %.3f s", l, s }')")

# --- 3. memory --------------------------------------------------------------------------------
note "memory: peak RSS"
base_kib=$(peak_rss_kib "$KRELBY" -cqn "$EMPTY_DIR")
rerun_kib=$(peak_rss_kib "${rerun_cmd[@]}")
big_load_kib=$(peak_rss_kib "${load_cmd[@]}")
big_kib=$(peak_rss_kib "${save_cmd[@]}")
per_entry() { awk -v p="$1" -v b="$base_kib" -v n="$2" 'BEGIN { printf "%.1f", (p - b) * 1024 / n }'; }
rerun_per=$(per_entry "$rerun_kib" "$r_entries")
big_load_per=$(per_entry "$big_load_kib" "$BIG_ENTRIES")
big_per=$(per_entry "$big_kib" "$BIG_ENTRIES")
FINDINGS+=("database file bytes per entry: corpus $(awk -v s="$db_bytes" -v n="$r_entries" 'BEGIN { printf "%.1f", s / n }'), big $(awk -v s="$big_bytes" -v n="$BIG_ENTRIES" 'BEGIN { printf "%.1f", s / n }')")
FINDINGS+=("big load only: peak RSS $big_load_kib KiB, $big_load_per bytes per entry")

# --- summary ----------------------------------------------------------------------------------
echo
echo "krelby $KRELBY, timer $TIMER, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-44s %s\n' \
  "corpus ($TREE)" "$files regular files, $bytes bytes, $link_files links to files, $r_entries entries" \
  "corpus database" "$db_bytes bytes" \
  "rerun krelby -ql DB DIR (median of $RUNS)" "$(printf '%.3f s' "$k_med")" \
  "rerun krelby -nql DB DIR, no save (median)" "$(printf '%.3f s' "$n_med")" \
  "find DIR -printf '%s %T@ %C@\\n' (median)" "$(printf '%.3f s' "$f_med")" \
  "ratio krelby -ql / find" "$ratio (target <= $TARGET) $verdict" \
  "big database ($BIG_ENTRIES entries)" "$big_bytes bytes" \
  "big load only -nql (median of $BIG_RUNS)" "$(printf '%.3f s' "$l_med")" \
  "big load + save -ql (median of $BIG_RUNS)" "$(printf '%.3f s' "$s_med")" \
  "big save alone (difference)" "$save_only s" \
  "peak RSS, empty dir, no database" "$base_kib KiB" \
  "peak RSS, rerun over corpus" "$rerun_kib KiB = $rerun_per bytes per entry" \
  "peak RSS, big load + save" "$big_kib KiB = $big_per bytes per entry"
echo
for line in "${FINDINGS[@]}"; do echo "$line"; done
[ "$verdict" = PASS ] && [ "$CHECKS_OK" = 1 ]
