pkg_check_modules(VGM_TEST_PNG REQUIRED IMPORTED_TARGET libpng zlib)
vgm_add_codec_test(codec_png_test TYPES PNG SOURCES png_test.cpp LIBS PkgConfig::VGM_TEST_PNG)
