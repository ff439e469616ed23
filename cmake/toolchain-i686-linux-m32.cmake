# 32-bit Linux build on an x86_64 machine (gcc -m32 of g++-multilib); its
# libraries are built from Debian's sources by scripts/cross-deps into a
# cache outside the build tree. Programs run under qemu-i386, test discovery
# included.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
# SSE2 as on the i686 Windows build: the kernels need it and doubles stay
# out of the x87 registers' extra precision.
set(CMAKE_C_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-m32 -msse2 -mfpmath=sse")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
set(VGM_CROSS_TARGET i686-linux-m32)
include(${CMAKE_CURRENT_LIST_DIR}/cross-prefix.cmake)
