cmake_minimum_required(VERSION 3.25)
# Fails unless every DLL that EXE imports is a Windows system DLL, and unless EXE imports none of
# the functions that Vista and Windows 7 without updates lack: the loader would refuse to start it.
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE dump RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "objdump failed on ${EXE}")
endif()
string(REGEX MATCHALL "DLL Name: [^\n]+" lines "${dump}")
set(system_dlls kernel32.dll msvcrt.dll shell32.dll shlwapi.dll ole32.dll user32.dll advapi32.dll
  oleaut32.dll)
set(seen "")
foreach(line IN LISTS lines)
  string(REPLACE "DLL Name: " "" dll "${line}")
  string(TOLOWER "${dll}" dll)
  list(APPEND seen ${dll})
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "${EXE} imports ${dll}, which is not a system DLL")
  endif()
endforeach()
if(NOT "kernel32.dll" IN_LIST seen)
  message(FATAL_ERROR "no import table read from ${EXE}")
endif()

# Looked up with GetProcAddress where they are wanted, never imported.
set(too_new SetDefaultDllDirectories AddDllDirectory RemoveDllDirectory
  GetSystemTimePreciseAsFileTime CreateFile2)
set(imported_too_new "")
foreach(function IN LISTS too_new)
  # Import lines end with the function's name: "<address> <hint>  <name>".
  if(dump MATCHES "[ \t]${function}\n")
    list(APPEND imported_too_new ${function})
  endif()
endforeach()
if(imported_too_new)
  list(JOIN imported_too_new " " names)
  message(FATAL_ERROR "${EXE} imports functions that Vista and Windows 7 lack: ${names}")
endif()
message(STATUS "imports: ${seen}")
