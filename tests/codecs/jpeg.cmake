pkg_check_modules(VGM_TEST_TURBOJPEG REQUIRED IMPORTED_TARGET libturbojpeg)
vgm_add_codec_test(codec_jpeg_test TYPES JPEG SOURCES jpeg_test.cpp LIBS PkgConfig::VGM_TEST_TURBOJPEG)
vgm_codec_links(JPEG libjpeg)
