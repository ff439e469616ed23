# Shared by the cross toolchain files. VGM_CROSS_TARGET names the target;
# VGM_CROSS_SYSTEM_ROOT is set where the target has a root of its own
# (mingw's /usr/<triplet>), and unset for -m32, which shares the build
# machine's headers. The cross-built dependencies live in a cache outside the
# build tree (scripts/cross-deps).
set(VGM_CROSS_PREFIX "$ENV{HOME}/.cache/vgm_Common-cross/${VGM_CROSS_TARGET}" CACHE PATH
    "Prefix of the cross-built dependencies")
set(CMAKE_FIND_ROOT_PATH ${VGM_CROSS_SYSTEM_ROOT} ${VGM_CROSS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config sees only the target's .pc files, never the build machine's.
if(VGM_CROSS_SYSTEM_ROOT)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(ENV{PKG_CONFIG_LIBDIR} "${VGM_CROSS_PREFIX}/lib/pkgconfig:${VGM_CROSS_SYSTEM_ROOT}/lib/pkgconfig")
else()
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
  set(ENV{PKG_CONFIG_LIBDIR} "${VGM_CROSS_PREFIX}/lib/pkgconfig")
endif()
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")
