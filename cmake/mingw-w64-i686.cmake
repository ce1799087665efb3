# Cross-compiling Turnpike for 32-bit Windows with Debian's mingw-w64, POSIX
# thread model. See mingw-w64-x86_64.cmake; the 32-bit build is for IIS
# application pools that run 32-bit worker processes.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(TURNPIKE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)

# GCC 12 for 32-bit targets reports a write "at offset 2147483647" into the
# bounded-string buffers (common/bounded.cpp): their largest capacity,
# 2^31 - 1, is PTRDIFF_MAX there, and the warning does not see that the
# index stays below the capacity. The 64-bit build keeps the warning.
set(CMAKE_CXX_FLAGS_INIT "-Wno-stringop-overflow")
