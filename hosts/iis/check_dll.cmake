# cmake -DDLL=Turnpike.dll -DOBJDUMP=<target>-objdump -P check_dll.cmake
#
# Fails unless the DLL exports GetFilterVersion and HttpFilterProc and
# nothing else, under those exact names, and imports only DLLs that every
# Windows server has.
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
# Brackets would stop CMake from splitting lists.
string(REPLACE "[" "<" dump "${dump}")
string(REPLACE "]" ">" dump "${dump}")

# The export name table has one "\t<   0> Name" row per exported name; the
# address table's rows read "\t<   0> +base<   1> ...".
string(REGEX MATCHALL "\t< *[0-9]+> [A-Za-z_@?$0-9]+\n" rows "${dump}")
set(exports "")
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\t< *[0-9]+> ([^\n]+)\n$" "\\1" name "${row}")
  list(APPEND exports "${name}")
endforeach()
list(SORT exports)
if(NOT exports STREQUAL "GetFilterVersion;HttpFilterProc")
  message(FATAL_ERROR "exports are '${exports}', expected 'GetFilterVersion;HttpFilterProc'")
endif()

string(REGEX MATCHALL "DLL Name: [^\n]+" imports "${dump}")
# bcrypt.dll (the system's random generator) is in every Windows since
# Server 2008, the first that IIS 7's filters run on.
set(system_dlls kernel32.dll advapi32.dll bcrypt.dll ole32.dll oleaut32.dll shlwapi.dll msvcrt.dll user32.dll
    ws2_32.dll)
set(imported "")
foreach(import IN LISTS imports)
  string(REPLACE "DLL Name: " "" dll "${import}")
  string(TOLOWER "${dll}" dll)
  if(NOT dll IN_LIST system_dlls)
    message(FATAL_ERROR "imports ${dll}, which a bare Windows server does not have")
  endif()
  list(APPEND imported "${dll}")
endforeach()
message(STATUS "exports: ${exports}; imports: ${imported}")
