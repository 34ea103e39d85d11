# Shared bits of the project's scripts. Source it; it defines paths and helpers only.

repo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Caches that must outlive a clone (the mingw build of libcrypto). The folder's name carries
# how libcrypto was built (function and data sections, no unwind tables): a build with other
# flags goes to another folder. cmake/OpenSSLMingw.cmake names the same default.
cache_root=${VINTREL_CACHE:-/var/cache/vintrel-build}
openssl_mingw_prefix=$cache_root/openssl-mingw-i686-gc
# zstd's decoder alone, sized for Updater.exe, and the whole zstd for vintrel-pack.exe;
# cmake/Zstd.cmake names the same defaults.
zstd_mingw_prefix=$cache_root/zstd-mingw-i686-dec
zstd_full_mingw_prefix=$cache_root/zstd-mingw-i686
# zstd's library source, for the fuzzer (fuzz/CMakeLists.txt names the same default).
zstd_source_dir=$cache_root/zstd-source

say() { printf '[%s] %s\n' "$(basename "$0")" "$*"; }
die() { printf '[%s] error: %s\n' "$(basename "$0")" "$*" >&2; exit 1; }

# Runs Wine quietly in the given prefix with code page 936 unless the caller chose a locale.
wine_env() {
  export WINEPREFIX=$1
  export WINEARCH=win64
  export WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
  local locale=${WINE_LC_ALL:-zh_CN.UTF-8}
  # Without the locale Wine garbles every Chinese file name: scripts/setup makes it.
  locale_exists "$locale" || die "the locale $locale is missing; run scripts/setup"
  # A shell that started before setup made the locale cannot load it (the C library looks at
  # the locale archive once per process) and bash warns from setlocale when LC_ALL is set.
  # The shell only passes LC_ALL on to Wine, which starts afresh: keep that warning quiet.
  { export LC_ALL=$locale; } 2>/dev/null
}

# Whether the system has the locale (zh_CN.UTF-8 is listed as zh_CN.utf8).
locale_exists() {
  local name=${1/.UTF-8/.utf8}
  locale -a 2>/dev/null | grep -qix "$name"
}
