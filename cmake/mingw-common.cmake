# Shared by the two mingw-w64 toolchain files; VGM_MINGW_TRIPLET is set.
set(CMAKE_C_COMPILER ${VGM_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VGM_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VGM_MINGW_TRIPLET}-windres)
set(VGM_DLLTOOL ${VGM_MINGW_TRIPLET}-dlltool)
find_program(VGM_CCACHE ccache)
if(VGM_CCACHE)
  set(CMAKE_C_COMPILER_LAUNCHER ${VGM_CCACHE})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${VGM_CCACHE})
endif()

# The cross-built dependencies live in a cache outside the build tree.
set(VGM_CROSS_TARGET ${VGM_MINGW_TRIPLET})
set(VGM_CROSS_PREFIX "$ENV{HOME}/.cache/vgm_Common-cross/${VGM_MINGW_TRIPLET}" CACHE PATH
    "Prefix of the cross-built dependencies")
set(CMAKE_FIND_ROOT_PATH /usr/${VGM_MINGW_TRIPLET} ${VGM_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees only the cross prefix, never the build machine's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "${VGM_CROSS_PREFIX}/lib/pkgconfig:/usr/${VGM_MINGW_TRIPLET}/lib/pkgconfig")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Windows 7 API level; UTF-16 system calls throughout.
add_compile_definitions(UNICODE _UNICODE _WIN32_WINNT=0x0601 WINVER=0x0601)
# Only system DLLs at run time: the compiler's own runtimes go in statically.
string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " -static -static-libgcc -static-libstdc++")
string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " -static -static-libgcc -static-libstdc++")
string(APPEND CMAKE_MODULE_LINKER_FLAGS_INIT " -static -static-libgcc -static-libstdc++")
set(ZLIB_USE_STATIC_LIBS ON)  # as everything else here: no zlib1.dll at run time
