# 32-bit x86, the board's architecture, built on an x86_64 host with the
# multilib compilers (g++-multilib).
set(VELMO_ARCH i386 CACHE STRING "Target architecture" FORCE)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
