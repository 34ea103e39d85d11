# Installs the library from the build tree into a fresh folder, then configures, builds and
# runs the consumer project against that installed tree only.
#
# cmake -DBUILD_DIR=... -DWORK_DIR=... -DSOURCE_DIR=... -DGENERATOR=... -DBUILD_TYPE=...
#       [-DTOOLCHAIN_FILE=... -DEMULATOR=...] [-DCXX_COMPILER=... -DCXX_FLAGS=... -DLINKER_FLAGS=...]
#       -P consumer_test.cmake
cmake_minimum_required(VERSION 3.25)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}")
  endif()
endfunction()

set(prefix ${WORK_DIR}/install)
file(REMOVE_RECURSE ${WORK_DIR})

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --component Vintrel_Common)

set(configure ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
  -DCMAKE_BUILD_TYPE=${BUILD_TYPE}
  -DCMAKE_PREFIX_PATH=${prefix}
  # A cross toolchain searches packages below its own root only; name the package's folder.
  -DVintrel_Common_DIR=${prefix}/lib/cmake/Vintrel_Common)
if(TOOLCHAIN_FILE)
  list(APPEND configure --toolchain ${TOOLCHAIN_FILE})
else()
  # The same compiler and flags as the library (sanitizers need both sides instrumented).
  list(APPEND configure -DCMAKE_CXX_COMPILER=${CXX_COMPILER}
    "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" "-DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS}")
endif()
run(${configure})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)

if(EMULATOR)
  # Under Wine the program finds the DLL and its runtime DLLs in the installed bin folder.
  set(ENV{WINEPATH} ${prefix}/bin)
  run(${EMULATOR} ${WORK_DIR}/build/consumer.exe)
else()
  run(${WORK_DIR}/build/consumer)
endif()
