# Shared bits of the project's scripts. Source it; it defines paths and helpers only.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Caches that must outlive a clone (the mingw build of libcrypto).
cache_root=${VINTREL_CACHE:-/var/cache/vintrel-build}
openssl_mingw_prefix=$cache_root/openssl-mingw-i686

say() { printf '[%s] %s\n' "$(basename "$0")" "$*"; }
die() { printf '[%s] error: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }

# Runs Wine quietly in the given prefix with code page 936 unless the caller chose a locale.
wine_env() {
  export WINEPREFIX=$1
  export WINEARCH=win64
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  export LC_ALL=${WINE_LC_ALL:-zh_CN.UTF-8}
}
