# Libraries Debian ships for the build machine only are built from Debian's
# sources into VGM_CROSS_PREFIX, once per version (scripts/cross-deps; a
# second run only checks the versions).
if(VGM_CROSS_TARGET)
  execute_process(COMMAND ${PROJECT_SOURCE_DIR}/scripts/cross-deps ${VGM_CROSS_TARGET}
    COMMAND_ERROR_IS_FATAL ANY)
endif()
