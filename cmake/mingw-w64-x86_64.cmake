# Cross-compiling Turnpike for 64-bit Windows with Debian's mingw-w64, POSIX
# thread model (std::thread and std::mutex over winpthreads).
#
# Programs and the DLL are linked with libgcc, libstdc++ and winpthreads
# inside them, so that they load on a server that has none of the mingw
# runtime DLLs. Test programs run under Wine (CMAKE_CROSSCOMPILING_EMULATOR),
# each in the build tree's own Wine prefix.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TURNPIKE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
