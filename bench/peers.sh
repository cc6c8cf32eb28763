#!/usr/bin/env bash
# Wall time, peak memory and duplicates found of krelby beside other duplicate finders.
#
# The finders (fdupes, jdupes, rdfind, rmlint, duff, from Debian's packages) all run in report-only
# mode over the same tree, beside krelby and two floors, timed by hyperfine:
#   floor md5sum   find DIR -type f -print0 | xargs -0 md5sum    hashes every byte, one thread
#   floor find     find DIR -printf '%s %T@ %C@\n'               stats every entry
# Scenarios (the corpora come from bench/corpus.sh):
#   first   krelby -cql DB DIR with a fresh database each run (prepare: rm -f DB)
#   rerun   krelby -ql DB DIR with the database of the unchanged corpus: it stats, reads nothing
#   daily   krelby -ql DB DIR after the daily addition: before each run the database of the
#           corpus without it is restored and the addition applied afresh (bench/corpus.sh
#           --apply-daily); the others run on the grown tree as it stands
# Corpus a/ (real files) gets all three, b/ (big pseudo-random files) the first run and the rerun.
# The others keep no state, so their rerun is their first run again.
#
# Each scenario prints a table: median wall time, mean CPU time (user + system), peak RSS (one
# extra run under /usr/bin/time -f %M, which also gives the duplicates found; for a pipeline it is
# its largest process), duplicates found, and the ratio of the median to krelby's. Duplicates are
# the files a tool lists beyond the first of each set of equal files; for krelby the "D dupes" of
# its report, which in the rerun and daily scenarios counts the new files only.
#
# How each finder runs, and where its defaults differ from krelby's rules (which explains most
# differences in the duplicate counts; bench/crosscheck.sh compares the sets themselves):
#   krelby   follows symbolic links to files (under the link's own path) but never enters linked
#            directories; hard links are duplicates; empty files never match; a path reaching
#            the very same file (one link) is no duplicate. Single-threaded.
#   fdupes -r -n -H -q   does not follow symbolic links (-s would, into directories as well); -H
#            makes hard links duplicates (by default they are not); -n leaves empty files out (by
#            default they match each other); -q hides the progress indicator. Single-threaded.
#   jdupes -r -H -q      the same, but empty files are left out by default (-z matches them).
#   rdfind -dryrun true -removeidentinode false   reports only; symbolic links not followed
#            (-followsymlinks false, the default) and empty files left out (-ignoreempty true, the
#            default); -removeidentinode false keeps hard links as duplicates (by default files
#            sharing an inode are dropped). Writes results.txt, here into a scratch directory.
#   rmlint -T df --hidden -o json:... -o sh:...   duplicate files only (by default it also looks
#            for empty files and directories, broken links, bad ids); --hidden walks hidden
#            directories too (by default it skips them); symbolic links are not followed (by
#            default it sees them as small files of their own); hard links are duplicates (its
#            default). Its outputs go to ordinary files in a scratch directory: it replaces them,
#            so never /dev/null. Multi-threaded by default (--threads 16).
#   duff -r -a -z        -a includes hidden files (by default it skips them when recursing), -z
#            leaves empty files out; symbolic links not followed (-P, the default); hard links
#            are duplicates (its default; -p would drop them).
# None of them is ever asked to delete, link or change anything.
#
# Usage: bench/peers.sh [--cold] [--runs N] [WORKDIR]
#   --cold      drop the page cache before every timed run (echo 3 > /proc/sys/vm/drop_caches,
#               as root), instead of reading every file of the corpus once before timing
#   --runs N    timed runs of each command (default 5, at least 2)
#   WORKDIR     where the corpora live (default /tmp/krelby-peers); bench/corpus.sh builds them
#               when missing
# Environment:
#   KRELBY=/path/to/krelby   use this binary and skip the build
#   BUILD_DIR=dir            release build directory (default /tmp/krelby-bench-build)
#   SCALE=full|small         passed to bench/corpus.sh (small: about 50 times smaller)
#   SCENARIOS="a:first ..."  which to run, in order (default "a:first a:rerun a:daily b:first b:rerun")
#   TOOLS="fdupes ..."       which others to run beside krelby (default: all five and both floors,
#                            "fdupes jdupes rdfind rmlint duff md5sum find")
#   DROP_CACHES='cmd'        what --cold runs before every timed run (default
#                            'sync; echo 3 > /proc/sys/vm/drop_caches')
#   KEEP=1                   keep the scratch directory (outputs, hyperfine's JSON)
# Exit status: 0 when every check holds, 1 when one does not (the expected counts: krelby 0
# duplicates on the rerun and 50 on the daily addition, every tool 5 on b/), 2 on a setup error.

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$SCRIPT_DIR/common.sh"

COLD=0
RUNS=5
WORKDIR=/tmp/krelby-peers
while [ $# -gt 0 ]; do
  case "$1" in
    --cold) COLD=1 ;;
    --runs) [ $# -ge 2 ] || die "--runs needs a number"; RUNS=$2; shift ;;
    --runs=*) RUNS=${1#--runs=} ;;
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) die "unknown option '$1' (try --help)" ;;
    *) WORKDIR=$1 ;;
  esac
  shift
done
[[ "$RUNS" =~ ^[0-9]+$ ]] && [ "$RUNS" -ge 2 ] || die "--runs must be a whole number of at least 2"
SCENARIOS=${SCENARIOS:-"a:first a:rerun a:daily b:first b:rerun"}
TOOLS=${TOOLS:-"fdupes jdupes rdfind rmlint duff md5sum find"}
DROP_CACHES=${DROP_CACHES:-'sync; echo 3 > /proc/sys/vm/drop_caches'}
for t in $TOOLS; do
  case "$t" in fdupes|jdupes|rdfind|rmlint|duff|md5sum|find) ;; *) die "unknown tool '$t' in TOOLS" ;; esac
done
for s in $SCENARIOS; do
  case "$s" in a:first|a:rerun|a:daily|b:first|b:rerun) ;; *) die "unknown scenario '$s' in SCENARIOS" ;; esac
done
if [ "$COLD" = 1 ] && [ "$DROP_CACHES" = 'sync; echo 3 > /proc/sys/vm/drop_caches' ]; then
  [ -w /proc/sys/vm/drop_caches ] || die "--cold needs to write /proc/sys/vm/drop_caches (root, not read-only)"
fi

command -v python3 >/dev/null || die "python3 is needed"
# shellcheck disable=SC2046  # one word per package
ensure_packages hyperfine time $(for t in $TOOLS; do case "$t" in md5sum|find) ;; *) echo "$t" ;; esac; done)
build_krelby
"$SCRIPT_DIR/corpus.sh" "$WORKDIR"
WORKDIR=$(realpath "$WORKDIR")
"$SCRIPT_DIR/corpus.sh" --undo-daily "$WORKDIR"  # a/ as built, whatever an earlier run left

SCRATCH=$(mktemp -d /tmp/krelby-peers-run.XXXXXX)
cleanup() {
  "$SCRIPT_DIR/corpus.sh" --undo-daily "$WORKDIR" || true
  if [ "${KEEP:-0}" = 1 ]; then note "scratch kept in $SCRATCH"; else rm -rf "$SCRATCH"; fi
}
trap cleanup EXIT
cd "$SCRATCH"  # nothing any tool writes lands in the corpus

q() { printf '%q' "$1"; }

# The command of each tool over a directory, for bash -c.
tool_cmd() {
  local tool=$1 dir=$2 out=$SCRATCH/$1
  case "$tool" in
    fdupes) echo "fdupes -r -n -H -q $(q "$dir")" ;;
    jdupes) echo "jdupes -r -H -q $(q "$dir")" ;;
    rdfind) echo "cd $(q "$out") && rdfind -dryrun true -removeidentinode false -outputname $(q "$out/results.txt") $(q "$dir")" ;;
    rmlint) echo "cd $(q "$out") && rmlint -T df --hidden -o json:$(q "$out/rmlint.json") -o sh:$(q "$out/rmlint.sh") $(q "$dir")" ;;
    duff) echo "duff -r -a -z $(q "$dir")" ;;
    md5sum) echo "find $(q "$dir") -type f -print0 | xargs -0 md5sum" ;;
    find) printf '%s\n' "find $(q "$dir") -printf '%s %T@ %C@\\n'" ;;
  esac
}

# Duplicates a tool reported in its run whose standard output is in $2: files beyond the first
# of each set; "-" for the floors.
dupes_of() {
  local tool=$1 out=$2
  case "$tool" in
    krelby) sed -n 's/^[0-9]* bytes - [0-9]* entries - \([0-9]*\) dupes.*/\1/p' "$out" | tail -n 1 ;;
    fdupes|jdupes) awk 'NF { n++; if (!in_set) { sets++; in_set = 1 } } !NF { in_set = 0 } END { print n - sets }' "$out" ;;
    rdfind) awk '/^DUPTYPE_/ && $1 != "DUPTYPE_FIRST_OCCURRENCE" { n++ } END { print n + 0 }' "$SCRATCH/rdfind/results.txt" ;;
    rmlint) python3 -c 'import json, sys
print(sum(1 for e in json.load(open(sys.argv[1])) if e.get("type") == "duplicate_file" and not e.get("is_original")))' \
              "$SCRATCH/rmlint/rmlint.json" ;;
    duff) awk '/^[0-9]+ files in cluster / { n += $1 - 1 } END { print n + 0 }' "$out" ;;
    md5sum|find) echo - ;;
  esac
}

# Reads every file of a tree once (and what its links to files lead to), so that the timed runs
# find it in the page cache.
warm() {
  local bytes
  bytes=$(find "$1" -xtype f -print0 | xargs -0 -r cat | wc -c)
  note "warmed $1: $bytes bytes read"
}

FAILED_CHECKS=0
TABLES=()
check() {  # check "what" expected actual
  if [ "$2" = "$3" ]; then
    TABLES+=("  check ok: $1 = $3")
  else
    TABLES+=("  CHECK FAILED: $1 = $3, expected $2")
    FAILED_CHECKS=$((FAILED_CHECKS + 1))
  fi
}

run_scenario() {
  local corpus=${1%%:*} scenario=${1#*:}
  local dir=$WORKDIR/$corpus db=$SCRATCH/$corpus.dat before=$SCRATCH/$corpus.before.dat
  local keys=() names=() cmds=() preps=() t k_cmd k_prep i
  mkdir -p "$SCRATCH/rdfind" "$SCRATCH/rmlint"

  case "$scenario" in
    first)
      k_cmd="$(q "$KRELBY") -cql $(q "$db") $(q "$dir")"
      k_prep="rm -f $(q "$db")"
      ;;
    rerun)
      note "$corpus/$scenario: database of the corpus"
      "$KRELBY" -cql "$db" "$dir" >/dev/null || die "krelby failed on $dir"
      k_cmd="$(q "$KRELBY") -ql $(q "$db") $(q "$dir")"
      k_prep=":"
      ;;
    daily)
      note "$corpus/$scenario: database of the corpus before the daily addition"
      "$SCRIPT_DIR/corpus.sh" --undo-daily "$WORKDIR"
      "$KRELBY" -cql "$before" "$dir" >/dev/null || die "krelby failed on $dir"
      "$SCRIPT_DIR/corpus.sh" --apply-daily "$WORKDIR"
      k_cmd="$(q "$KRELBY") -ql $(q "$db") $(q "$dir")"
      k_prep="cp $(q "$before") $(q "$db") && $(q "$SCRIPT_DIR/corpus.sh") --apply-daily $(q "$WORKDIR")"
      ;;
  esac
  keys+=(krelby); names+=(krelby); cmds+=("$k_cmd"); preps+=("$k_prep")
  for t in $TOOLS; do
    keys+=("$t")
    case "$t" in md5sum|find) names+=("floor $t") ;; *) names+=("$t") ;; esac
    cmds+=("$(tool_cmd "$t" "$dir")")
    preps+=(":")
  done
  if [ "$COLD" = 1 ]; then
    for i in "${!preps[@]}"; do preps[i]="{ ${preps[i]}; } && { $DROP_CACHES; }"; done
  fi

  local files bytes
  files=$(find "$dir" -type f | wc -l)
  bytes=$(find "$dir" -type f -printf '%s\n' | awk '{ s += $1 } END { printf "%.0f", s }')

  # One untimed run of each, under /usr/bin/time: peak RSS and the duplicates found.
  local rss=() dupes=() out tag
  for i in "${!cmds[@]}"; do
    tag=${names[i]// /-}
    out=$SCRATCH/$corpus-$scenario-$tag
    note "$corpus/$scenario: ${names[i]}: counting run"
    bash -c "${preps[i]}" || die "prepare failed: ${preps[i]}"
    /usr/bin/time -f %M -o "$out.rss" bash -c "${cmds[i]}" >"$out.out" 2>"$out.err" ||
      die "${names[i]} failed (status $?): ${cmds[i]}; $(tail -n 5 "$out.err")"
    rss+=("$(tail -n 1 "$out.rss")")
    dupes+=("$(dupes_of "${keys[i]}" "$out.out")")
  done

  [ "$COLD" = 1 ] || warm "$dir"
  local json=$SCRATCH/$corpus-$scenario.json hf=()
  hf=(hyperfine -S bash --runs "$RUNS" --output=pipe --style basic --export-json "$json")
  for i in "${!cmds[@]}"; do hf+=(-n "${names[i]}" --prepare "${preps[i]}"); done
  note "$corpus/$scenario: hyperfine, $RUNS runs of each"
  "${hf[@]}" "${cmds[@]}" >&2 || die "hyperfine failed"

  local what cache
  case "$scenario" in
    first) what="first run: krelby with a fresh database each run" ;;
    rerun) what="unchanged rerun: krelby with the database of the corpus" ;;
    daily) what="rerun after the daily addition: krelby with the database from before it, the others on the grown tree" ;;
  esac
  if [ "$COLD" = 1 ]; then cache="page cache dropped before each run"; else cache="warm page cache"; fi
  TABLES+=("" "corpus $corpus ($files regular files, $bytes bytes) - $what; $cache; median of $RUNS runs")
  local rows
  rows=$(python3 - "$json" "${rss[@]}" -- "${dupes[@]}" <<'EOF'
import json, sys
args = sys.argv[2:]
sep = args.index("--")
rss, dupes = args[:sep], args[sep + 1:]
results = json.load(open(sys.argv[1]))["results"]
base = results[0]["median"]
print(f"  {'tool':<14} {'median_s':>10} {'cpu_s':>9} {'peak_rss_MiB':>13} {'dupes':>7} {'ratio':>7}")
for r, m, d in zip(results, rss, dupes):
    print(f"  {r['command']:<14} {r['median']:>10.3f} {r['user'] + r['system']:>9.3f} "
          f"{int(m) / 1024:>13.1f} {d:>7} {r['median'] / base:>7.2f}")
EOF
  ) || die "could not read $json"
  TABLES+=("$rows")

  case "$scenario" in
    rerun) check "$corpus/rerun: krelby duplicates" 0 "${dupes[0]}" ;;
    daily) check "$corpus/daily: krelby duplicates (the 50 copies among the new files)" 50 "${dupes[0]}" ;;
  esac
  if [ "$corpus" = b ]; then
    for i in "${!names[@]}"; do
      [ "${dupes[i]}" = - ] && continue
      [ "$scenario" = rerun ] && [ "$i" = 0 ] && continue
      check "b/$scenario: ${names[i]} duplicates" 5 "${dupes[i]}"
    done
  fi
  [ "$scenario" = daily ] && "$SCRIPT_DIR/corpus.sh" --undo-daily "$WORKDIR"
  return 0
}

for s in $SCENARIOS; do run_scenario "$s"; done

echo "krelby $KRELBY, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg), hyperfine $(hyperfine --version | cut -d' ' -f2)"
for line in "${TABLES[@]}"; do echo "$line"; done
[ "$FAILED_CHECKS" = 0 ]
