# Libraries Debian ships for the build machine only are built from Debian's
# sources into VGM_CROSS_PREFIX, once per version (scripts/cross-deps).
if(VGM_CROSS_TARGET AND NOT EXISTS ${VGM_CROSS_PREFIX}/lib/pkgconfig/libexif.pc)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/cross-deps ${VGM_CROSS_TARGET}
    COMMAND_ERROR_IS_FATAL ANY)
endif()
