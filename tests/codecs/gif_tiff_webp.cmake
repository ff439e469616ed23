# GIF, TIFF and WebP plug-ins; the tests decode references with the codecs' own simplest calls.
find_library(VGM_TEST_GIF gif REQUIRED)
pkg_check_modules(VGM_TEST_CODECS REQUIRED IMPORTED_TARGET libtiff-4 libwebp libwebpdemux libexif)
vgm_add_codec_test(gif_plugin_test TYPES GIF SOURCES gif_test.cpp LIBS ${VGM_TEST_GIF})
vgm_add_codec_test(tiff_plugin_test TYPES TIFF SOURCES tiff_test.cpp LIBS PkgConfig::VGM_TEST_CODECS)
vgm_add_codec_test(webp_plugin_test TYPES WebP SOURCES webp_test.cpp LIBS PkgConfig::VGM_TEST_CODECS)
