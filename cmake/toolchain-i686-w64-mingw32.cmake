# Cross build for Windows with Debian's mingw-w64 compilers of the posix
# thread model (std::thread and std::mutex need it).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VGM_MINGW_TRIPLET i686-w64-mingw32)
# The raster kernels need SSE2; SSE arithmetic also keeps doubles out of the
# x87 registers' extra precision, so results match the 64-bit builds. The
# system calls back on 4-byte aligned stacks: realign where SSE needs 16.
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse -mincoming-stack-boundary=2")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
