# scripts/demo --feed, sourced by scripts/demo once the Wine prefix is made: release 1 of the
# sample main application installed with its release record and the update service, a feed of
# releases 1, 2 and 3 served by nginx on 127.0.0.1, vintrel-fetch.exe fetching what release 1
# needs into %APPDATA%\OrbeskVintrel\Temp, then Updater.exe as the main application starts it.
# Sets status: 0 only when release 3 is installed and runs.

updater_exe=$tests_bin/Updater_signed_test.exe
fetch_exe=$repo_root/build/windows/fetch/tests/vintrel-fetch-test.exe
key=$repo_root/build/windows/test-keys/current.pem
programs=("$tests_bin/probe_app.exe" "$tests_bin/probe_app_v2.exe" "$tests_bin/probe_app_v3.exe")
nginx=$(command -v nginx || echo /usr/sbin/nginx)
temp=$appdata/OrbeskVintrel/Temp
temp_win="$appdata_win\\OrbeskVintrel\\Temp"

# The publisher's three releases: the main application of each, its updater, a setting changed
# in 2, a codec dropped in 2, a plugin added in 2 and changed in 3 with a new 3 MB library.
releases=$prefix/releases
head -c 3000000 /dev/urandom > "$prefix/codec.bin"
for release in 1 2 3; do
  tree=$releases/release-$release
  mkdir -p "$tree/bin/32bit"
  cp "${programs[release - 1]}" "$tree/bin/32bit/Kivo直播助手.exe"
  cp "$updater_exe" "$tree/bin/32bit/Updater.exe"
  printf 'readme of release %s\n' "$release" > "$tree/readme.txt"
  if [ "$release" = 1 ]; then
    printf 'volume=3\n' > "$tree/bin/32bit/config.dat"
    printf 'old codec\n' > "$tree/bin/32bit/obsolete.dll"
  else
    printf 'volume=3\nquality=high\n' > "$tree/bin/32bit/config.dat"
    mkdir -p "$tree/bin/32bit/plugins"
    printf 'plugin of release %s\n' "$release" > "$tree/bin/32bit/plugins/plugin.dll"
  fi
  [ "$release" != 3 ] || cp "$prefix/codec.bin" "$tree/bin/32bit/codec 编解码.dll"
done

# The feed, published by vintrel-pack with the demo's key; nginx's worker reads it as nobody.
www=$(mktemp -d "${TMPDIR:-/tmp}/vintrel-demo-www.XXXXXX")
chmod 755 "$www"
echo
echo "== vintrel-pack publish of releases 1, 2 and 3 (signed with $(basename "$key")):"
for release in 1 2 3; do
  "$pack" publish "$releases/release-$release" --feed "$www/feed" --release "$release" \
    --updater "$updater_exe" --root-length "${#root_win}" --delivery-length "${#temp_win}" \
    --key "$key" > "$prefix/publish-$release.log" 2>&1 ||
    { cat "$prefix/publish-$release.log"; die "vintrel-pack publish refused release $release"; }
  tail -n 1 "$prefix/publish-$release.log" | sed 's/^/    /'
done
chmod -R a+rX "$www"
echo "== The feed as the web server serves it:"
(cd "$www/feed" && find . -type f -printf '%P\t%s bytes\n' | sort | sed 's/^/    /')
echo "== Its signed index:"
sed 's/^/    /' "$www/feed/index"

# nginx on a free port of the loopback, with a configuration of its own.
feed_http() {
  cat <<CONF
  log_format feed '\$request \$status \$body_bytes_sent';
  access_log $www/access.log feed;
  default_type application/octet-stream;
  server { listen 127.0.0.1:$port; root $www; }
CONF
}
start_nginx "$nginx" "$www" feed_http || die "nginx did not start"
say "nginx serves the feed at http://127.0.0.1:$port/feed"

# Release 1 as its installer leaves it: the files, the release record and its marker (which the
# main application, running as the user, reads), the update service.
mkdir -p "$root" "$appdata/OrbeskVintrel/logs"
cp -a "$releases/release-1/." "$root/"
mkdir -p "$root/.vintrel"
printf '1\r\n' > "$root/.vintrel/release"
: > "$root/.vintrel/release-1"
log=$appdata/OrbeskVintrel/logs/updater.log
say "installing the update service as the installer does: Updater.exe --install-service"
set +e
wine "$root/bin/32bit/Updater.exe" --install-service >/dev/null 2>&1
install_code=$?
set -e
list_installation() {
  (cd "$1" && find . -path ./.vintrel -prune -o -type f -printf '%P\t%s bytes\n' | sort |
    sed 's/^/    /')
}
# Wine: the service manager of a prefix's first session does not always list a service created
# in it (a later session reads it from the registry), so that session ends here first.
timeout 60 wineserver -w || true
set +e
registration=$(wine sc query OrbeskVintrelUpdate 2>/dev/null | tr -d '\r')
set -e
echo
echo "== --install-service: exit code $install_code; sc query OrbeskVintrelUpdate:"
if [ -n "$registration" ]; then
  grep -E 'SERVICE_NAME|TYPE|STATE' <<< "$registration" | sed 's/^ */    /'
else
  echo "    (not registered)"
fi
echo "== The installation at release 1: $root_win (release record: $(tr -d '\r' < "$root/.vintrel/release"))"
list_installation "$root"

record=$root/bin/32bit/probe-record.txt
say "starting the main application of release 1"
wine "$main_exe" --wait >/dev/null 2>&1 &
old_app=$!
old_app_started=$SECONDS
for _ in $(seq 100); do [ -s "$record" ] && break; sleep 0.1; done

# What the main application does at its start: the fetch, then the updater when one was placed.
mkdir -p "$drive_c/vintrel-demo"
cp "$fetch_exe" "$drive_c/vintrel-demo/vintrel-fetch.exe"
say "fetching: vintrel-fetch.exe http://127.0.0.1:$port/feed --temp \"$temp_win\" --installation \"$root_win\""
set +e
fetch_result=$(wine "$drive_c/vintrel-demo/vintrel-fetch.exe" "http://127.0.0.1:$port/feed" \
  --temp "$temp_win" --installation "$root_win" --json 2>/dev/null | tr -d '\r')
fetch_code=$?
set -e
echo
echo "== vintrel-fetch.exe: exit code $fetch_code"
echo "    $fetch_result"
echo "== What nginx served (request, status, bytes):"
sed 's/^/    /' "$www/access.log"
echo "== The delivery placed in %APPDATA%\\OrbeskVintrel\\Temp:"
if [ -d "$temp" ]; then list_installation "$temp"; else echo "    (none)"; fi

stage1=none
if [[ $fetch_result == *'"status":"placed"'* ]]; then
  say "starting Updater.exe as the main application does"
  set +e
  wine "$root/bin/32bit/Updater.exe" "$root_win\\bin\\32bit" "$root_win" >/dev/null 2>&1
  stage1=$?
  set -e
fi
old_app_seconds=$((SECONDS - old_app_started))
if kill -0 "$old_app" 2>/dev/null; then
  old_app_state="was still running after ${old_app_seconds} s: ended by the demo"
  kill "$old_app" 2>/dev/null || true
else
  old_app_state="ended after ${old_app_seconds} s of its 120 s wait: ended by the updater"
fi
wait "$old_app" 2>/dev/null || true
# Whatever the updater started (the main application of release 3) ends on its own.
timeout 120 wineserver -w || true

service_log=$drive_c/ProgramData/OrbeskVintrel/service/logs/updater.log
outcome=$appdata/OrbeskVintrel/update-outcome.txt
echo
echo "== Stage 1 (Updater.exe from the installation): exit code $stage1"
echo "== The main application of release 1 $old_app_state"
echo "== updater.log (the user's, decoded from code page 936):"
if [ -f "$log" ]; then iconv -f GBK -t UTF-8 "$log" | tr -d '\r' | sed 's/^/    /'; else echo "    (missing)"; fi
echo "== The update service's log (%ProgramData%\\OrbeskVintrel\\service\\logs\\updater.log):"
if [ -f "$service_log" ]; then
  iconv -f GBK -t UTF-8 "$service_log" | tr -d '\r' | sed 's/^/    /'
else
  echo "    (missing)"
fi
echo "== The installation after: $root_win (release record: $(tr -d '\r' < "$root/.vintrel/release" 2>/dev/null || echo missing))"
list_installation "$root"
echo "== The delivery folder: $([ -e "$temp" ] && echo "still there" || echo "removed")"
echo "== update-outcome.txt (for the main application):"
if [ -f "$outcome" ]; then tr -d '\r' < "$outcome" | sed 's/^/    /'; else echo "    (missing)"; fi
started=$(grep -a 'version=3.0' "$record" 2>/dev/null | tail -n 1 || true)
echo "== The restarted main application reports: ${started:-nothing}"

failures=()
[ "$install_code" = 0 ] || failures+=("--install-service exit code $install_code")
[ -n "$registration" ] || failures+=("the update service is not registered")
[[ $fetch_result == *'"status":"placed"'* ]] || failures+=("the fetch placed no delivery")
[ "$stage1" = 0 ] || failures+=("stage 1 exit code $stage1")
[[ $old_app_state == *"by the updater" ]] || failures+=("the updater did not end the main application")
[ -n "$started" ] || failures+=("the main application of release 3 did not start")
[ "$(tr -d '\r' < "$root/.vintrel/release" 2>/dev/null)" = 3 ] ||
  failures+=("the release record does not say 3")
# Release 3 exactly: the published tree, plus what only the programs wrote (the probe's record).
diff -r -x .vintrel -x probe-record.txt "$releases/release-3" "$root" >/dev/null ||
  failures+=("the installation is not release 3")
[ ! -e "$temp" ] || failures+=("the delivery folder was not removed")
iconv -f GBK -t UTF-8 "$log" 2>/dev/null | tr -d '\r' | grep -e '--- update service : applied none release 3$' >/dev/null ||
  failures+=("the update service did not apply")

echo
status=1
if [ ${#failures[@]} -eq 0 ]; then
  say "release 3 was fetched, applied by the update service and runs"
  status=0
else
  for f in "${failures[@]}"; do say "FAILED: $f"; done
fi
