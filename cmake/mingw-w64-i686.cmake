# Cross-compiling for 32-bit Windows with Debian's MinGW-w64 compilers
# (package g++-mingw-w64-i686-posix, or g++-mingw-w64-i686 for both thread
# models). The result is morv-Q17.exe, a console program linked statically so
# that no MinGW DLL has to travel with it.
#
#   cmake --preset windows-i686 && cmake --build --preset windows-i686

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(MORV_MINGW_TRIPLET i686-w64-mingw32)

# The posix thread model (winpthreads) gives the program std::thread, so it
# codes blocks on every processor. The win32 model of GCC 12 has no
# std::thread: a program built with it works the same on one thread.
find_program(MORV_MINGW_CXX
  NAMES ${MORV_MINGW_TRIPLET}-g++-posix ${MORV_MINGW_TRIPLET}-g++-win32 ${MORV_MINGW_TRIPLET}-g++
  DOC "MinGW-w64 C++ compiler for 32-bit Windows")
if(NOT MORV_MINGW_CXX)
  message(FATAL_ERROR
    "No ${MORV_MINGW_TRIPLET}-g++ found; on Debian: apt-get install g++-mingw-w64-i686-posix")
endif()
set(CMAKE_CXX_COMPILER "${MORV_MINGW_CXX}")

find_program(MORV_MINGW_WINDRES NAMES ${MORV_MINGW_TRIPLET}-windres)
if(MORV_MINGW_WINDRES)
  set(CMAKE_RC_COMPILER "${MORV_MINGW_WINDRES}")
endif()

# Headers and libraries come from the MinGW sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${MORV_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtime: libgcc, libstdc++ and (with the posix model) winpthreads are
# linked into the executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
