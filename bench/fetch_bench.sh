#!/usr/bin/env bash
# The fetch of a 300 MiB full delivery from Debian's nginx on the loopback, beside a bare loop of
# GETs of the same files over the same HTTP stack: natively vintrel-fetch (libcurl) beside
# fetch_bare_curl, under Wine vintrel-fetch.exe (WinHTTP) beside fetch_bare_winhttp.exe.
# Alternating rounds (bare, fetch, bare, fetch, ...), each a fresh process into an emptied
# folder after a sync, timed from the outside; the medians, their ratio and the goal printed.
# The bare loop's time is also given with the sync that puts its bytes on the disk: the fetch
# flushes what it places (a delivery renamed into Temp must survive a power cut), the bare loop
# leaves its bytes in the page cache, so the two bare figures bracket what a download costs.
#
#   fetch_bench.sh native|wine FEED WORK FETCH BARE [ROUNDS]
#
# FEED: a feed vintrel-pack publish made (release 1's full delivery, served as /feed). WORK: a
# scratch folder (emptied). ROUNDS: of each program, default 5. Needs NGINX_PROGRAM; WINE and a
# ready WINEPREFIX for wine. Exit 1 when the fetch takes more than 1.2 times the bare loop, or
# a run fails or leaves other bytes than the feed's.
set -euo pipefail
source "$(dirname "$0")/../scripts/nginx.sh"
platform=$1 feed=$2 work=$3 fetch=$4 bare=$5 rounds=${6:-5}
: "${NGINX_PROGRAM:?}"
goal=1.2

rm -rf "$work"
mkdir -p "$work/www"
ln -s "$feed" "$work/www/feed"
nginx_pid=
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" || true; fi
  [ "$platform" != wine ] || wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

bench_http() {
  cat <<CONF
  access_log off;
  sendfile on;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $work/www; disable_symlinks off; }
CONF
}
start_nginx "$NGINX_PROGRAM" "$work" bench_http || fail "nginx did not start"
url=http://127.0.0.1:$port/feed

# What the fetch GETs: the index and its signature, the delivery's list, signature and files.
(cd "$feed" && find . -type f ! -name release.sha256 -printf '%P\n' | sort) > "$work/paths"
bytes=$(cd "$feed" && find . -type f ! -name release.sha256 -printf '%s\n' | awk '{ s += $1 } END { print s }')

run=()
out_bare=$work/bare
temp=$work/OrbeskVintrel/Temp
arg_bare=$out_bare arg_temp=$temp arg_paths=$work/paths
if [ "$platform" = wine ]; then
  : "${WINE:?}" "${WINEPREFIX:?}"
  run=("$WINE")
  arg_bare=$(windows_path "$out_bare") arg_temp=$(windows_path "$temp")
  arg_paths=$(windows_path "$work/paths")
  # One Wine server for every round, started and warmed (the usage run) so that no round
  # pays for the start. A server already running in the prefix refuses -p: it is ended first.
  wineserver -k 2>/dev/null || true
  wineserver -p || fail "wineserver -p refused to start"
  "$WINE" "$bare" >/dev/null 2>&1 || true
fi

now_ms() { echo $(($(date +%s%N) / 1000000)); }
bare_times=() durable_times=() fetch_times=()
for round in $(seq "$rounds"); do
  rm -rf "$out_bare" "$work/OrbeskVintrel"
  sync
  start=$(now_ms)
  "${run[@]}" "$bare" "$url" "$arg_bare" "$arg_paths" || fail "the bare loop, round $round"
  bare_times+=($(($(now_ms) - start)))
  sync
  durable_times+=($(($(now_ms) - start)))
  got=$(find "$out_bare" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
  [ "$got" = "$bytes" ] || fail "the bare loop wrote $got bytes of $bytes"

  rm -rf "$out_bare"
  sync
  start=$(now_ms)
  result=$("${run[@]}" "$fetch" "$url" --temp "$arg_temp" --json | tr -d '\r') ||
    fail "the fetch, round $round: $result"
  fetch_times+=($(($(now_ms) - start)))
  [[ $result == *'"status":"placed"'* ]] || fail "the fetch, round $round: $result"
  # Once: the placed delivery is the published one, byte for byte.
  [ "$round" != 1 ] || diff -r "$temp" "$feed/1/full" >/dev/null ||
    fail "Temp is not the published delivery"
  echo "round $round: bare ${bare_times[-1]} ms (${durable_times[-1]} ms with its sync), fetch ${fetch_times[-1]} ms"
done

median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
bare_median=$(median "${bare_times[@]}")
durable_median=$(median "${durable_times[@]}")
fetch_median=$(median "${fetch_times[@]}")
ratio=$(awk -v f="$fetch_median" -v b="$bare_median" 'BEGIN { printf "%.2f", f / b }')
mib=$(awk -v b="$bytes" 'BEGIN { printf "%.0f", b / 1048576 }')
echo "$platform: $mib MiB in $(wc -l < "$work/paths") files, median of $rounds rounds each"
echo "  bare loop   $bare_median ms ($(awk -v b="$bytes" -v t="$bare_median" 'BEGIN { printf "%.0f", b / 1048576 / t * 1000 }') MiB/s)"
echo "  bare + sync $durable_median ms (ratio $(awk -v f="$fetch_median" -v b="$durable_median" 'BEGIN { printf "%.2f", f / b }'))"
echo "  fetch       $fetch_median ms ($(awk -v b="$bytes" -v t="$fetch_median" 'BEGIN { printf "%.0f", b / 1048576 / t * 1000 }') MiB/s)"
echo "  ratio       $ratio (goal: at most $goal)"
awk -v r="$ratio" -v g="$goal" 'BEGIN { exit !(r <= g) }' || { echo "  goal missed"; exit 1; }
