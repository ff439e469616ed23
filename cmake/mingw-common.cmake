# Shared by the two mingw-w64 toolchain files; VGM_MINGW_TRIPLET is set.
set(CMAKE_C_COMPILER ${VGM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VGM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VGM_MINGW_TRIPLET}-windres)
set(VGM_DLLTOOL ${VGM_MINGW_TRIPLET}-dlltool)

set(VGM_CROSS_TARGET ${VGM_MINGW_TRIPLET})
set(VGM_CROSS_SYSTEM_ROOT /usr/${VGM_MINGW_TRIPLET})
include(${CMAKE_CURRENT_LIST_DIR}/cross-prefix.cmake)

# Windows 7 API level; UTF-16 system calls throughout.
add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0601 WINVER=0x0601)
# Only system DLLs at run time: the compiler's own runtimes go in statically.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -static -static-libgcc -static-libstdc++")
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -static -static-libgcc -static-libstdc++")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)  # as everything else here: no zlib1.dll at run time
