#!/usr/bin/env bash
# vintrel-fetch.exe (WinHTTP, CNG) under Wine against Debian's nginx on the loopback, serving a
# feed of three releases that vintrel-pack.exe publish made: release 2 gets the partial delivery
# from 2, no release the full one, each placed in Temp byte for byte as published; release 3's
# rollout paused: release 2 waits ("not-in-rollout"), no release gets release 2's full delivery.
# Through WinHTTP's own range, retry and stall handling: the 50 MB file cut three times by the
# fault proxy (a test tool, built natively) still placed, nginx serving at most 10 % more than
# the file; server errors retried, a stall given up and retried, a 404 and an HTML page named; a
# fetch killed mid-file resumed with a range, and whole again from a server without ranges; an
# altered file and a bad index signature refused. Over HTTPS (the feed at release 1, a test
# CA's certificate for localhost) the fetch is refused as a TLS failure, tried once, until the
# CA's root is in the prefix's Root store (trust_root.exe), and then placed; the machine's trust
# store is never changed.
set -euo pipefail
source "$(dirname "$0")/../../scripts/nginx.sh"
: "${VINTREL_FETCH:?}" "${VINTREL_PACK:?}" "${TEST_KEYS:?}" "${NGINX_PROGRAM:?}" "${WINE:?}"
: "${TRUST_ROOT:?}" "${OPENSSL_TOOL:?}" "${MAKE_TEST_CA:?}" "${FAULT_PROXY:?}"

work=$(mktemp -d /tmp/vintrel-fetch-wine.XXXXXX)
chmod 755 "$work"
nginx_pid=
trusted=
proxy_pid=
cleanup() {
  if [ -n "$proxy_pid" ]; then kill "$proxy_pid" 2>/dev/null || true; fi
  if [ -n "$trusted" ]; then "$WINE" "$TRUST_ROOT" remove "$(windows_path "$work/tls/ca.pem")" || true; fi
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }
windows_path() { local p=$1; echo "Z:${p//\//\\}"; }

# Unchanged and incompressible: the partial deliveries are clearly the smaller.
head -c 300000 /dev/urandom > "$work/same.dll"
for release in 1 2 3; do
  tree=$work/tree-$release
  mkdir -p "$tree/bin" "$tree/lib"
  echo "the application, release $release" > "$tree/bin/app.txt"
  cp "$work/same.dll" "$tree/lib/same.dll"
  echo "release $release" > "$tree/readme 说明.txt"
  [ "$release" != 3 ] || { mkdir -p "$tree/data"; head -c 52428800 /dev/urandom > "$tree/data/big.bin"; }
  "$WINE" "$VINTREL_PACK" publish "$(windows_path "$tree")" --feed "$(windows_path "$work/www/feed")" \
    --release "$release" --key "$(windows_path "$TEST_KEYS/current.pem")" > "$work/publish.log" 2>&1 ||
    { cat "$work/publish.log"; fail "publish of release $release"; }
  [ "$release" != 1 ] || { mkdir -p "$work/tls/www"; cp -r "$work/www/feed" "$work/tls/www/feed"; }
done

# The test CA and its certificate for localhost (WinHTTP under Wine refuses 127.0.0.1 with it).
bash "$MAKE_TEST_CA" "$OPENSSL_TOOL" "$work/tls" > "$work/openssl.log" 2>&1 ||
  { cat "$work/openssl.log"; fail "the test CA"; }
chmod -R a+rX "$work"

feed_http() {
  tls_port=$((port + 1))
  cat <<CONF
  log_format counted '\$request_uri \$status \$body_bytes_sent';
  access_log $work/access.log counted;
  default_type application/octet-stream;
  # A small send buffer: what the log counts as sent is what left, not what waited in the
  # kernel when a connection was cut.
  server {
    listen 127.0.0.1:$port sndbuf=64k;
    root $work/www;
    location /slow/ { alias $work/www/; limit_rate 10m; }
    location /norange/ { alias $work/www/; max_ranges 0; }
  }
  # One line per connection in tls.log, the refused ones too.
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $work/tls/server.pem;
    ssl_certificate_key $work/tls/server.key;
    error_log $work/tls.log info;
    root $work/tls/www;
  }
CONF
}
start_nginx "$NGINX_PROGRAM" "$work" feed_http || fail "nginx did not start"

fetch() {  # fetch INSTALLED [URL [keep]]: vintrel-fetch.exe's --json line (keep: Temp.fetch stays)
  local release=()
  [ "$1" = 0 ] || release=(--release "$1")
  [ "${3:-}" = keep ] || rm -rf "$work/OrbeskVintrel"
  "$WINE" "$VINTREL_FETCH" "${2:-http://127.0.0.1:$port/feed}" \
    --temp "$(windows_path "$work/OrbeskVintrel/Temp")" "${release[@]}" --json --retry-delay-ms 50 |
    tr -d '\r'
}
for case in "2 3/from-2" "0 3/full"; do
  set -- $case
  result=$(fetch "$1") || true
  echo "release $1: $result"
  [[ $result == *'"status":"placed"'* ]] || fail "release $1: not placed"
  [[ $result == *"\"delivery\":\"$2\""* ]] || fail "release $1: not $2"
  diff -r "$work/OrbeskVintrel/Temp" "$work/www/feed/$2" || fail "release $1: Temp is not $2"
  [ ! -e "$work/OrbeskVintrel/Temp.fetch" ] || fail "release $1: the work folder is left"
done
result=$(fetch 3) || true
[[ $result == *'"status":"up-to-date"'* ]] || fail "release 3: $result"

big_bytes=$(stat -c %s "$work/www/feed/3/from-2/data/big.bin")
served_big() {  # served_big: requests for big.bin and the bytes nginx sent for them
  awk '/big\.bin/ { n++; s += $3 } END { print n + 0, s + 0 }' "$work/access.log"
}
# fault MATCH FAULT TIMES: the fetch for release 2 through the fault proxy, its --json line.
fault() {
  : > "$work/access.log"
  rm -rf "$work/OrbeskVintrel"
  "$FAULT_PROXY" "$port" "$1" "$2" "$3" > "$work/proxy-port" &
  proxy_pid=$!
  for _ in $(seq 100); do [ -s "$work/proxy-port" ] && break; sleep 0.05; done
  "$WINE" "$VINTREL_FETCH" "http://127.0.0.1:$(head -n 1 "$work/proxy-port")/feed" \
    --temp "$(windows_path "$work/OrbeskVintrel/Temp")" --release 2 --json --retry-delay-ms 50 \
    --stall-seconds 5 | tr -d '\r'
  kill "$proxy_pid" 2>/dev/null || true
  wait "$proxy_pid" 2>/dev/null || true
  proxy_pid=
}
for row in "big.bin cut:10000000 3 placed" "big.bin status:500 2 placed" \
    "UpdateInfo.ini stall 1 placed" "/feed/index@ status:404 1 http-status" \
    "/feed/index@ html 1 not-a-feed"; do
  set -- $row
  result=$(fault "${1//@/ }" "$2" "$3") || true
  echo "$2 on $1: $result"
  [[ $result == *"\"status\":\"$4\""* ]] || fail "$2 on $1: not $4"
  if [ "$4" = placed ]; then
    diff -r "$work/OrbeskVintrel/Temp" "$work/www/feed/3/from-2" > /dev/null || fail "$2: Temp is not 3/from-2"
  else
    [ ! -e "$work/OrbeskVintrel/Temp" ] || fail "$2 on $1: something placed"
  fi
  if [ "$2" = cut:10000000 ]; then
    read -r asked served <<< "$(served_big)"
    [ "$asked" = 4 ] || fail "three cuts: $asked requests for big.bin, not 4"
    [ "$served" -le $((big_bytes + big_bytes / 10)) ] || fail "three cuts: $served bytes served: restarted"
  fi
done

# A fetch killed in the middle of the 50 MB file (the Windows process ended by a signal, as a
# machine turned off ends it) continues with a range; a server without ranges sends it whole.
for resume in feed norange/feed; do
  : > "$work/access.log"
  rm -rf "$work/OrbeskVintrel"
  partial=$work/OrbeskVintrel/Temp.fetch/data/big.bin
  "$WINE" "$VINTREL_FETCH" "http://127.0.0.1:$port/slow/feed" \
    --temp "$(windows_path "$work/OrbeskVintrel/Temp")" --release 2 > /dev/null 2>&1 &
  killed_pid=$!
  for _ in $(seq 400); do
    [ "$(stat -c %s "$partial" 2>/dev/null || echo 0)" -ge $((big_bytes / 5)) ] && break
    sleep 0.05
  done
  pkill -9 -f "$(basename "$VINTREL_FETCH")" || fail "no fetch to kill"
  wait "$killed_pid" 2>/dev/null || true
  held=$(stat -c %s "$partial" 2>/dev/null || echo 0)
  [ "$held" -gt 0 ] && [ "$held" -lt "$big_bytes" ] || fail "killed fetch: $held bytes held"
  result=$(fetch 2 "http://127.0.0.1:$port/$resume" keep) || true
  echo "killed at $held bytes, resumed from /$resume: $result"
  [[ $result == *'"status":"placed"'* ]] || fail "resumed from /$resume: not placed"
  diff -r "$work/OrbeskVintrel/Temp" "$work/www/feed/3/from-2" > /dev/null || fail "resumed: Temp is not 3/from-2"
  read -r asked served <<< "$(served_big)"
  if [ "$resume" = feed ]; then
    [ "$served" -le $((big_bytes + big_bytes / 10)) ] || fail "resumed: $served bytes served: restarted"
  else
    [ "$served" -ge $((held + big_bytes)) ] || fail "no ranges: $served bytes served, not whole again"
  fi
done

# What the keys or the list do not vouch for: a file altered on the server, an index signed
# with a key the program does not know (refused before a delivered file is asked for).
cp -r "$work/www/feed" "$work/www/altered"
printf '!' | dd of="$work/www/altered/3/from-2/data/big.bin" bs=1 seek=$((big_bytes / 2)) \
  conv=notrunc status=none
cp -r "$work/www/feed" "$work/www/bad-index"
"$OPENSSL_TOOL" dgst -sha256 -sign "$TEST_KEYS/other.pem" -out "$work/www/bad-index/index.sig" \
  "$work/www/bad-index/index" || fail "signing with the other key"
chmod -R a+rX "$work/www"
for row in "altered file-differs" "bad-index bad-signature"; do
  set -- $row
  : > "$work/access.log"
  result=$(fetch 2 "http://127.0.0.1:$port/$1") || true
  echo "$1: $result"
  [[ $result == *"\"status\":\"$2\""* ]] || fail "$1: not $2"
  [ ! -e "$work/OrbeskVintrel/Temp" ] || fail "$1: something placed"
  if [ "$1" = bad-index ]; then
    ! grep -v '^/bad-index/index' "$work/access.log" | grep -q . || fail "bad index: a delivered file asked for"
  fi
done

"$WINE" "$VINTREL_PACK" rollout --feed "$(windows_path "$work/www/feed")" --release 3 --share 0% \
  --key "$(windows_path "$TEST_KEYS/current.pem")" > "$work/rollout.log" 2>&1 ||
  { cat "$work/rollout.log"; fail "rollout of release 3 to no device"; }
chmod -R a+rX "$work/www"
result=$(fetch 2) || true
echo "release 2, release 3 paused: $result"
[[ $result == *'"status":"not-in-rollout"'* ]] || fail "release 2 with release 3 paused: $result"
[ ! -e "$work/OrbeskVintrel/Temp" ] || fail "release 2 with release 3 paused: something placed"
result=$(fetch 0) || true
echo "no release, release 3 paused: $result"
[[ $result == *'"delivery":"2/full"'* ]] || fail "no release with release 3 paused: $result"
diff -r "$work/OrbeskVintrel/Temp" "$work/www/feed/2/full" || fail "no release: Temp is not 2/full"
https_url="https://localhost:$tls_port/feed"
# nginx listens on both ports before it accepts on either: no probe (its line) in tls.log.
result=$(fetch 0 "$https_url") || true
echo "https, the CA not trusted: $result"
[[ $result == *'"status":"tls-failed"'* ]] || fail "https untrusted: not tls-failed"
[ ! -e "$work/OrbeskVintrel/Temp" ] || fail "https untrusted: something placed"
connections=$(grep -o ' \*[0-9]* ' "$work/tls.log" | sort -u | wc -l)
[ "$connections" = 1 ] || { cat "$work/tls.log"; fail "https untrusted: $connections connections, not 1"; }
"$WINE" "$TRUST_ROOT" add "$(windows_path "$work/tls/ca.pem")" || fail "trust_root add"
trusted=1
result=$(fetch 0 "$https_url") || true
echo "https, the CA in the prefix's Root store: $result"
[[ $result == *'"status":"placed"'* ]] || fail "https trusted: not placed"
diff -r "$work/OrbeskVintrel/Temp" "$work/tls/www/feed/1/full" || fail "https: Temp is not 1/full"
"$WINE" "$TRUST_ROOT" remove "$(windows_path "$work/tls/ca.pem")" || fail "trust_root remove"
trusted=
echo "16 passed, 0 failed"
