#!/usr/bin/env bash
# Builds the corpora that krelby is compared with other duplicate finders on (bench/peers.sh,
# bench/crosscheck.sh). Everything is deterministic: the same machine gives the same trees, byte
# for byte, on every build.
#
#   a/      about A_FILES (100 000) real files copied with `cp -a` from this machine's trees, in
#           the order of A_SOURCES, symbolic links kept as they are; a tree too big for what is
#           left of the goal is copied entry by entry in sorted order, so the count stops near it.
#           Then a/hardlinks/ gets 20 hard links to fixed files (every n-th non-empty file in
#           sorted path order), and a/links/ a handful of symbolic links: four to files, a
#           second one to the first of those files, one to a hard-linked file, one to a directory.
#   b/      40 files of 16-256 MiB of pseudo-random data (about 3.1 GiB): unique files, equal-size
#           files of different content, exact copies (one three-way set) and files that differ
#           from another in exactly one byte, in the middle or the last one. 5 duplicates.
#   daily/  a day's additions to a/: new/ holds 150 files of new pseudo-random content of 1 KiB to
#           2 MiB (log-uniform), copies/ 50 copies of non-empty files of a/ chosen by sorted path.
#           `--apply-daily` copies it into a/daily-added/, `--undo-daily` takes that away again.
#
# Usage: bench/corpus.sh [--rebuild] [WORKDIR]       build what is missing (all with --rebuild)
#        bench/corpus.sh --apply-daily [WORKDIR]     (re)place a/daily-added/ with a copy of daily/
#        bench/corpus.sh --undo-daily [WORKDIR]      remove a/daily-added/
# WORKDIR defaults to /tmp/krelby-peers.
# Environment:
#   SCALE=full|small            small makes every corpus about 50 times smaller (2 000 files in a/,
#                               files of 0.3-5 MiB in b/, daily files of 1-40 KiB); default full
#   A_SOURCES="dir ..."         trees copied into a/, in this order (globs allowed); default
#                               "/usr/share /usr/include /usr/lib/python3* /root/.pyenv/versions
#                               /usr/lib /usr/local /opt" (those that exist)
#   A_FILES=N                   regular files to copy into a/ (default 100000, small 2000)
#   A_MAX_BYTES=N               bytes a/ may hold at most (default 3 GiB, small 60 MiB)
#
# A part counts as built when its marker (a.done, b.done, daily.done beside it, never inside)
# names the same settings; a part built with other settings is built afresh. daily/ is built
# afresh whenever a/ is. Exit status 0, or 2 on an error.

set -euo pipefail

SCRIPT_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# shellcheck source=common.sh source-path=SCRIPTDIR
. "$SCRIPT_DIR/common.sh"

MODE=build
REBUILD=0
WORKDIR=/tmp/krelby-peers
while [ $# -gt 0 ]; do
  case "$1" in
    --rebuild) REBUILD=1 ;;
    --apply-daily) MODE=apply ;;
    --undo-daily) MODE=undo ;;
    -h|--help) sed -n '2,/^$/s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    -*) die "unknown option '$1' (try --help)" ;;
    *) WORKDIR=$1 ;;
  esac
  shift
done

mkdir -p "$WORKDIR"
WORKDIR=$(realpath "$WORKDIR")
A=$WORKDIR/a
B=$WORKDIR/b
DAILY=$WORKDIR/daily
ADDED=$A/daily-added

# --- the daily addition, applied and undone -----------------------------------------------------
# Kept quick and quiet: bench/peers.sh runs --apply-daily before every timed run of that scenario.
if [ "$MODE" = apply ]; then
  [ -e "$A.done" ] && [ -e "$DAILY.done" ] || die "no corpus in $WORKDIR (run bench/corpus.sh $WORKDIR first)"
  rm -rf "$ADDED"
  cp -a "$DAILY" "$ADDED"
  # Written back now, so that no timed run pays for it.
  find "$ADDED" -type f -print0 | xargs -0 -r sync --
  exit 0
fi
if [ "$MODE" = undo ]; then
  rm -rf "$ADDED"
  exit 0
fi

# --- settings -----------------------------------------------------------------------------------
SCALE=${SCALE:-full}
case "$SCALE" in
  full) DIV=1 ;;
  small) DIV=50 ;;
  *) die "SCALE must be full or small" ;;
esac
A_SOURCES=${A_SOURCES:-"/usr/share /usr/include /usr/lib/python3* /root/.pyenv/versions /usr/lib /usr/local /opt"}
A_FILES=${A_FILES:-$((100000 / DIV))}
A_MAX_BYTES=${A_MAX_BYTES:-$((3 * 1024 * 1024 * 1024 / DIV))}
MIB=1048576
export LC_ALL=C  # sorted orders are byte orders

command -v python3 >/dev/null || die "python3 is needed"
command -v openssl >/dev/null || die "openssl is needed (apt-get install -y openssl)"

# Writes `bytes` pseudo-random bytes for `seed` to `out`: the AES-CTR keystream of a key derived
# from the seed, the same bytes on every machine. head ends the pipe, so openssl's SIGPIPE is
# expected.
random_file() {
  local seed=$1 bytes=$2 out=$3
  (openssl enc -aes-128-ctr -pbkdf2 -nosalt -pass "pass:krelby-corpus-$seed" </dev/zero 2>/dev/null || true) |
    head -c "$bytes" >"$out"
  [ "$(stat -c %s "$out")" -eq "$bytes" ] || die "could not write $out"
}

# Changes the one byte at `offset` of `file` (xor 0x01), so it differs from its source there only.
flip_byte() {
  python3 - "$1" "$2" <<'EOF'
import sys
path, offset = sys.argv[1], int(sys.argv[2])
with open(path, "r+b") as f:
    f.seek(offset)
    b = f.read(1)
    f.seek(offset)
    f.write(bytes([b[0] ^ 0x01]))
EOF
}

# "files bytes" of the regular files below a path (the path itself when it is a regular file).
measure() { find "$1" -type f -printf '%s\n' 2>/dev/null | awk '{ n++; s += $1 } END { printf "%d %.0f\n", n, s }'; }

# --- a/: real files ------------------------------------------------------------------------------
COPIED_FILES=0
COPIED_BYTES=0
TAKEN=()  # sources copied whole, skipped when a later source holds them

taken() {
  local t
  for t in "${TAKEN[@]}"; do [ "$t" = "$1" ] && return 0; done
  return 1
}

# Copies src to dst with cp -a when it fits in what is left of the goal. Otherwise it lists src's
# regular files and links once, in sorted path order, takes files while the goal allows (a file
# too big for the bytes left is passed over, the file count ends the walk) and every link on the
# way, and copies what it took with one tar: linear in the size of src, however big it is.
copy_some() {
  local src=$1 dst=$2 files bytes path type size list
  taken "$src" && return 0
  read -r files bytes < <(measure "$src")
  if [ $((COPIED_FILES + files)) -le "$A_FILES" ] && [ $((COPIED_BYTES + bytes)) -le "$A_MAX_BYTES" ]; then
    # Unreadable corners of a system tree are not worth failing over.
    cp -a "$src" "$dst" 2>/dev/null || true
    COPIED_FILES=$((COPIED_FILES + files))
    COPIED_BYTES=$((COPIED_BYTES + bytes))
    return 0
  fi
  [ -d "$src" ] && [ ! -L "$src" ] || return 0  # a single file too big for what is left
  list=$(mktemp)
  while IFS=$'\t' read -r -d '' path type size; do
    if [ "$type" = f ]; then
      [ "$COPIED_FILES" -lt "$A_FILES" ] || break
      [ $((COPIED_BYTES + size)) -le "$A_MAX_BYTES" ] || continue
      COPIED_FILES=$((COPIED_FILES + 1))
      COPIED_BYTES=$((COPIED_BYTES + size))
    fi
    printf '%s\0' "$path" >>"$list"
  done < <(find "$src" -mindepth 1 \( -type f -o -type l \) -printf '%P\t%y\t%s\0' 2>/dev/null | sort -z)
  mkdir -p "$dst"
  tar -C "$src" --null -T "$list" -cf - 2>/dev/null | tar -C "$dst" -xf - 2>/dev/null || true
  rm -f "$list"
}

# Regular non-empty files of a/ with one link, as paths relative to a/, sorted; the directories
# this script adds are left out.
plain_files() {
  (cd "$A" && find . \( -path ./hardlinks -o -path ./links -o -path ./daily-added \) -prune -o \
     -type f -size +0 -links 1 -print0 | sort -z)
}

build_a() {
  local src name
  rm -rf "$A" "$A.done"
  mkdir -p "$A"
  # The sources are globs on purpose.
  # shellcheck disable=SC2086
  for src in $A_SOURCES; do
    [ -d "$src" ] || continue
    [ "$COPIED_FILES" -lt "$A_FILES" ] || break
    src=$(realpath "$src")
    name=$(echo "${src#/}" | tr / _)
    note "a/: copying from $src ($COPIED_FILES files so far)"
    copy_some "$src" "$A/$name"
    TAKEN+=("$src")
  done
  [ "$COPIED_FILES" -gt 0 ] || die "a/ is empty (A_SOURCES=$A_SOURCES)"

  local files=() n step i f
  mapfile -d '' files < <(plain_files)
  n=${#files[@]}
  [ "$n" -ge 21 ] || die "a/ has too few files for the links ($n)"
  step=$((n / 21))
  mkdir -p "$A/hardlinks" "$A/links"
  for ((i = 1; i <= 20; i++)); do
    f=${files[i * step]#./}
    ln "$A/$f" "$A/hardlinks/$(printf %02d "$i")-${f##*/}"
  done
  # Relative links, so that the tree can move. The hard-linked file has two links now.
  local first=${files[step + 1]#./} hard=${files[step]#./}
  for ((i = 1; i <= 4; i++)); do
    f=${files[i * step + 1]#./}
    ln -s "../$f" "$A/links/file-$i"
  done
  ln -s "../$first" "$A/links/file-1-again"
  ln -s "../$hard" "$A/links/hard-linked"
  f=${files[5 * step + 1]#./}
  ln -s "../${f%/*}" "$A/links/directory"
  printf 'scale=%s files=%s max_bytes=%s sources=%s\nbuilt=%s\n' \
    "$SCALE" "$A_FILES" "$A_MAX_BYTES" "$A_SOURCES" "$(date +%s%N)" >"$A.done"
}

# --- b/: big pseudo-random files -----------------------------------------------------------------
# name kind MiB-at-full-scale source: kind is rand (new content), copy (of source), mid (source with
# its middle byte changed) or last (source with its last byte changed). Sizes: u* are unique
# pseudo-random files, several of equal size; s* have the size of their source but their own content.
B_TABLE="
orig/u01 rand 16 -
orig/u02 rand 16 -
orig/u03 rand 20 -
orig/u04 rand 24 -
orig/u05 rand 24 -
orig/u06 rand 32 -
orig/u07 rand 32 -
orig/u08 rand 40 -
orig/u09 rand 48 -
orig/u10 rand 48 -
orig/u11 rand 64 -
orig/u12 rand 64 -
orig/u13 rand 80 -
orig/u14 rand 96 -
orig/u15 rand 112 -
orig/u16 rand 128 -
orig/u17 rand 160 -
orig/u18 rand 192 -
orig/u19 rand 256 -
orig/u20 rand 24 -
orig/u21 rand 16 -
orig/u22 rand 20 -
orig/u23 rand 28 -
orig/u24 rand 36 -
more/s16a rand 128 -
more/s16b rand 128 -
more/s11 rand 64 -
more/c01 copy 16 orig/u01
more/c01-again copy 16 orig/u01
more/c09 copy 48 orig/u09
more/c16 copy 128 orig/u16
more/c19 copy 256 orig/u19
more/m03 mid 20 orig/u03
more/m09 mid 48 orig/u09
more/m10 mid 48 orig/u10
more/m17 mid 160 orig/u17
more/l04 last 24 orig/u04
more/l12 last 64 orig/u12
more/l18 last 192 orig/u18
more/l19 last 256 orig/u19
"

build_b() {
  local name kind mib src bytes out
  rm -rf "$B" "$B.done"
  mkdir -p "$B/orig" "$B/more"
  while read -r name kind mib src; do
    [ -n "$name" ] || continue
    bytes=$((mib * MIB / DIV))
    out=$B/$name.bin
    case "$kind" in
      rand) note "b/: $name ($bytes bytes)"; random_file "b-$name" "$bytes" "$out" ;;
      copy) cp "$B/$src.bin" "$out" ;;
      mid) cp "$B/$src.bin" "$out"; flip_byte "$out" $((bytes / 2)) ;;
      last) cp "$B/$src.bin" "$out"; flip_byte "$out" $((bytes - 1)) ;;
      *) die "bad kind $kind in the table of b/" ;;
    esac
    [ "$(stat -c %s "$out")" -eq "$bytes" ] || die "$out has the wrong size"
  done <<<"$B_TABLE"
  printf 'scale=%s\n' "$SCALE" >"$B.done"
}

# --- daily/: a day's additions to a/ --------------------------------------------------------------
build_daily() {
  local hi=$((2 * MIB / DIV)) i size files=() n step f
  rm -rf "$DAILY" "$DAILY.done"
  mkdir -p "$DAILY/new" "$DAILY/copies"
  note "daily/: 150 new files, 50 copies of files of a/"
  i=0
  while read -r size; do
    i=$((i + 1))
    random_file "daily-$i" "$size" "$DAILY/new/$(printf %03d "$i").bin"
  done < <(python3 - 1024 "$hi" <<'EOF'
import hashlib, sys
lo, hi = int(sys.argv[1]), int(sys.argv[2])
for i in range(1, 151):
    u = int.from_bytes(hashlib.sha256(f"daily-size-{i}".encode()).digest()[:8], "big") / 2**64
    print(int(lo * (hi / lo) ** u))
EOF
  )
  mapfile -d '' files < <(plain_files)
  n=${#files[@]}
  [ "$n" -ge 102 ] || die "a/ has too few files for the daily copies ($n)"
  step=$((n / 51))
  for ((i = 1; i <= 50; i++)); do
    f=${files[i * step + step / 2]#./}
    cp "$A/$f" "$DAILY/copies/$(printf %02d "$i")-${f##*/}"
  done
  { printf 'scale=%s\n' "$SCALE"; cat "$A.done"; } >"$DAILY.done"
}

# --- what to build --------------------------------------------------------------------------------
wanted_a=$(printf 'scale=%s files=%s max_bytes=%s sources=%s' "$SCALE" "$A_FILES" "$A_MAX_BYTES" "$A_SOURCES")
if [ "$REBUILD" = 1 ] || [ ! -e "$A.done" ] || [ "$(head -n 1 "$A.done")" != "$wanted_a" ]; then
  build_a
else
  note "reusing $A"
fi
if [ "$REBUILD" = 1 ] || [ ! -e "$B.done" ] || [ "$(cat "$B.done")" != "scale=$SCALE" ]; then
  build_b
else
  note "reusing $B"
fi
if [ "$REBUILD" = 1 ] || [ ! -e "$DAILY.done" ] ||
   [ "$(cat "$DAILY.done")" != "$(printf 'scale=%s\n' "$SCALE"; cat "$A.done")" ]; then
  [ -e "$ADDED" ] && note "a/daily-added/ is there: the copies are chosen without it"
  build_daily
else
  note "reusing $DAILY"
fi

for part in "$A" "$B" "$DAILY"; do
  read -r files bytes < <(measure "$part")
  printf '%-40s %7d regular files %12d bytes %5d symbolic links\n' "$part" "$files" "$bytes" \
    "$(find "$part" -type l | wc -l)" >&2
done
[ -e "$ADDED" ] && note "the daily addition is applied (a/daily-added/); --undo-daily removes it"
exit 0
