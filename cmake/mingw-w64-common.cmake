# Shared by the mingw-w64 toolchain files; TURNPIKE_MINGW_TRIPLET names the
# target (x86_64-w64-mingw32 or i686-w64-mingw32).
set(CMAKE_C_COMPILER ${TURNPIKE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TURNPIKE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TURNPIKE_MINGW_TRIPLET}-windres)
set(CMAKE_MC_COMPILER ${TURNPIKE_MINGW_TRIPLET}-windmc)
set(CMAKE_OBJDUMP ${TURNPIKE_MINGW_TRIPLET}-objdump)

set(CMAKE_FIND_ROOT_PATH /usr/${TURNPIKE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# -static takes winpthreads from its archive too; system DLLs stay imports.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Windows 7 / Server 2008 R2 and later.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601)

# Test programs run under Wine, through a wrapper that keeps a private Wine
# prefix in the build tree (see tests/windows/wine-run). A 64-bit prefix runs
# 32-bit programs too, so both builds can share one (the windows-i686 preset
# uses the windows preset's) and boot it once.
set(TURNPIKE_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "The Wine prefix of the tests")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine-run
                                  ${TURNPIKE_WINE_PREFIX})
