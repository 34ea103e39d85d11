# Registers tests so that Windows builds run them under Wine in one throwaway prefix per
# build tree, with the ANSI code page 936 (zh_CN.UTF-8) unless a test asks for another.
# Each Wine start costs seconds: register one test per test binary, and run them -j1.

set(VINTREL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix used by the tests")

function(vintrel_wine_environment out_var locale)
  set(${out_var}
    WINEPREFIX=${VINTREL_WINEPREFIX}
    WINEARCH=win64
    WINEDEBUG=-all
    WINEDLLOVERRIDES=mscoree,mshtml=
    LC_ALL=${locale}
    PARENT_SCOPE)
endfunction()

# Creates the prefix before the first Wine test and stops its wineserver after the last.
function(vintrel_add_wine_fixtures)
  if(NOT (CMAKE_CROSSCOMPILING AND WIN32))
    return()
  endif()
  vintrel_wine_environment(env zh_CN.UTF-8)
  find_program(WINEBOOT_PROGRAM wineboot REQUIRED)
  find_program(WINESERVER_PROGRAM wineserver PATHS /usr/lib/wine /usr/lib/wine/bin REQUIRED)
  add_test(NAME wine_prefix_start COMMAND ${WINEBOOT_PROGRAM} -i)
  set_tests_properties(wine_prefix_start PROPERTIES
    ENVIRONMENT "${env}" FIXTURES_SETUP wine TIMEOUT 300)
  # wineserver -k fails when the server has already gone: that is fine.
  add_test(NAME wine_prefix_stop COMMAND sh -c "${WINESERVER_PROGRAM} -k || true")
  set_tests_properties(wine_prefix_stop PROPERTIES
    ENVIRONMENT "${env}" FIXTURES_CLEANUP wine)
endfunction()

# vintrel_add_test(NAME name COMMAND target [args...] [LOCALE zh_CN.UTF-8|en_US.UTF-8]
#                  [TIMEOUT seconds] [ENVIRONMENT VAR=value...])
function(vintrel_add_test)
  cmake_parse_arguments(arg "" "NAME;LOCALE;TIMEOUT" "COMMAND;ENVIRONMENT" ${ARGN})
  if(NOT arg_LOCALE)
    set(arg_LOCALE zh_CN.UTF-8)
  endif()
  if(NOT arg_TIMEOUT)
    set(arg_TIMEOUT 600)
  endif()
  add_test(NAME ${arg_NAME} COMMAND ${arg_COMMAND})
  set(env ${arg_ENVIRONMENT})
  if(CMAKE_CROSSCOMPILING AND WIN32)
    vintrel_wine_environment(wine_env ${arg_LOCALE})
    list(APPEND env ${wine_env})
    set_tests_properties(${arg_NAME} PROPERTIES FIXTURES_REQUIRED wine RUN_SERIAL ON)
  endif()
  set_tests_properties(${arg_NAME} PROPERTIES TIMEOUT ${arg_TIMEOUT} ENVIRONMENT "${env}")
endfunction()
