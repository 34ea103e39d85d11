#!/bin/bash
# Names no Windows installation can hold, and paths around the length limit, in a new tree that
# vintrel-pack diff packs: each is a finding with its code (or, at the limit, none), never a
# crash. Run with the program to test, natively or under Wine:
#   hostile_names.sh [--wine-paths] PROGRAM [ARGUMENTS...]
# --wine-paths gives the program its folders as Z:\ paths, where Wine shows the host's root.
set -u
wine_paths=0
if [ "${1:-}" = --wine-paths ]; then wine_paths=1; shift; fi
[ $# -ge 1 ] || { echo "usage: $0 [--wine-paths] PROGRAM [ARGUMENTS...]" >&2; exit 2; }

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vintrel-hostile.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -p "$scratch/old" "$scratch/new"

# tag (unique in the name), the expected finding's code ("-" for none; "native/windows" where
# the builds differ: Wine shows a host name's undecodable bytes as U+FFFD), the name's bytes.
long() { printf 'n%s/%s' "$1" "$(printf '%*s' "$2" '' | tr ' ' x)"; }
rows=(
  "n01 name-not-windows n01a:b.txt"
  "n02 name-not-windows nul.n02.txt"
  "n03 name-not-windows COM1.n03"
  "n04 name-not-windows n04/CON"
  "n05 name-not-windows n05trail."
  "n06 name-not-windows n06trail "
  "n07 name-not-utf8/name-not-cp936 n07$(printf '\xff').txt"
  "n08 name-not-utf8/name-not-cp936 n08$(printf '\xed\xa0\x80').txt"
  "n09 name-not-windows n09a*b"
  "n10 name-not-windows n10a\"b"
  "n11 name-not-windows n11a\\b"
  "n12 name-not-windows n12$(printf '\x01')"
  "n13 name-not-cp936 n13$(printf '\xf0\x9f\x98\x80').txt"
  "n14 name-not-windows n14a:dir/file.txt"
  "n15 name-not-windows n15a?b|c<d>"
  # With a root of 34 characters: 34 + 1 + 224 = 259 fits, 260 and 261 do not.
  "n16 - $(long 16 220)"
  "n17 path-too-long $(long 17 221)"
  "n18 path-too-long $(long 18 222)"
)
for row in "${rows[@]}"; do
  name=${row#* * }
  mkdir -p "$scratch/new/$(dirname "$name")"
  printf '%s' "$row" > "$scratch/new/$name"
done

dir() { if [ $wine_paths = 1 ]; then printf 'Z:%s' "$1"; else printf '%s' "$1"; fi; }
"$@" diff "$(dir "$scratch/old")" "$(dir "$scratch/new")" --out "$(dir "$scratch/out")" \
  --root-length 34 --delivery-length 34 > "$scratch/report.txt" 2>&1
code=$?

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ $code = 1 ] || fail "exit code $code, expected 1 (problems)"
grep -qiE 'terminate called|exception|what\(\)' "$scratch/report.txt" && fail "an exception"
[ -e "$scratch/out" ] && fail "a delivery was written"
for row in "${rows[@]}"; do
  read -r tag expected _ <<< "$row"
  if [ $wine_paths = 1 ]; then expected=${expected#*/}; else expected=${expected%/*}; fi
  if [ "$expected" = - ]; then
    grep -qE "^(problem|warning) \[[a-z0-9-]+\] .*$tag" "$scratch/report.txt" &&
      fail "$tag: a finding, expected none"
  else
    grep -qE "^problem \[$expected\] .*$tag" "$scratch/report.txt" ||
      fail "$tag: no problem [$expected]"
  fi
done
if [ $failures -gt 0 ]; then
  echo "--- the report:"
  cat "$scratch/report.txt"
  exit 1
fi
echo "all ${#rows[@]} names found as expected"
