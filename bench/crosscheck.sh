#!/usr/bin/env bash
# Checks krelby's duplicates on corpus a/ against fdupes and jdupes, difference by difference.
#
# krelby runs with a fresh database and without q, so that it prints every pair
# 'NEW' IS a DUPE with 'KNOWN'; fdupes and jdupes list their sets of equal files. bench/crosscheck.py
# turns both into groups of equal files and prints every difference, explained by one of krelby's
# rules (empty files never match; symbolic links to files are followed, links to directories are
# never entered; a path reaching the very same file, one with a single link, is no copy; hard
# links are copies) or unexplained, and ends with "explained: N, unexplained: M".
#
# The finders are run as close to those rules as their flags allow:
#   fdupes -r -s -H -n -q   -s follows symbolic links (to directories too, which krelby never
#                           enters), -H counts hard links as duplicates (by default they are
#                           not), -n leaves empty files out (by default they match each other)
#   jdupes -r -s -H -q      the same; jdupes leaves empty files out by default (-z would match them)
#                           and, following links, lists a file met twice under one path only
# Both compare byte for byte before they report, so their sets are exact.
#
# Usage: bench/crosscheck.sh [WORKDIR]    (default /tmp/krelby-peers; the corpus is built there
#                                         by bench/corpus.sh when missing, with SCALE as set)
# Environment:
#   KRELBY=/path/to/krelby   use this binary and skip the build
#   BUILD_DIR=dir            release build directory (default /tmp/krelby-bench-build)
#   SCALE=full|small         passed to bench/corpus.sh
#   KEEP=1                   keep the outputs of the three tools (their directory is printed)
# Exit status: 0 when every difference is explained, 1 when one is not, 2 on a setup error.

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$SCRIPT_DIR/common.sh"

WORKDIR=/tmp/krelby-peers
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) die "unknown option '$1' (try --help)" ;;
    *) WORKDIR=$1 ;;
  esac
  shift
done

command -v python3 >/dev/null || die "python3 is needed"
ensure_packages fdupes jdupes
build_krelby
"$SCRIPT_DIR/corpus.sh" "$WORKDIR"
WORKDIR=$(realpath "$WORKDIR")
DIR=$WORKDIR/a
[ -e "$DIR/daily-added" ] && note "a/daily-added/ is there: it is checked as part of a/"

SCRATCH=$(mktemp -d /tmp/krelby-crosscheck.XXXXXX)
if [ "${KEEP:-0}" = 1 ]; then
  note "outputs kept in $SCRATCH"
else
  trap 'rm -rf "$SCRATCH"' EXIT
fi

# Paths holding a newline would break the line-per-path listings of the finders.
if find "$DIR" -name $'*\n*' -print -quit | grep -q .; then
  die "$DIR holds a path with a newline; the finders' listings cannot carry it"
fi

cd "$SCRATCH"  # nothing lands in the corpus
note "krelby -cnl DB $DIR"
"$KRELBY" -cnl "$SCRATCH/krelby.dat" "$DIR" >krelby.out 2>krelby.err || die "krelby failed: $(tail -n 5 krelby.err)"
note "fdupes -r -s -H -n -q $DIR"
fdupes -r -s -H -n -q "$DIR" >fdupes.out 2>fdupes.err || die "fdupes failed: $(tail -n 5 fdupes.err)"
note "jdupes -r -s -H -q $DIR"
# jdupes exits 0 with duplicates and without; anything else is an error.
jdupes -r -s -H -q "$DIR" >jdupes.out 2>jdupes.err || die "jdupes failed: $(tail -n 5 jdupes.err)"
for t in fdupes jdupes; do
  [ -s "$t.err" ] && note "$t said: $(head -n 3 "$t.err" | tr '\n' ' ')"
done

sed -n 's/^\([0-9]*\) bytes - \([0-9]*\) entries - \([0-9]*\) dupes.*/krelby report: \1 bytes, \2 entries, \3 dupes/p' krelby.out
status=0
python3 "$SCRIPT_DIR/crosscheck.py" "$DIR" krelby.out fdupes:sH:fdupes.out jdupes:sH:jdupes.out || status=$?
[ "$status" -le 1 ] || die "crosscheck.py failed"
exit "$status"
