# 32-bit x86 build on an x86-64 Linux host (g++-multilib), as the Windows
# program is 32-bit: the tests run natively and take the portable paths.
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
