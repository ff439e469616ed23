if(NOT TARGET PkgConfig::VGM_TEST_PNG)
  pkg_check_modules(VGM_TEST_PNG REQUIRED IMPORTED_TARGET libpng zlib)
endif()
vgm_add_codec_test(codec_bmp_test TYPES BMP SOURCES bmp_test.cpp LIBS PkgConfig::VGM_TEST_PNG)
