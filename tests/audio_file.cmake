# The command-line tools' audio file reader: decoding, mixing, rate conversion.
find_package(PkgConfig REQUIRED)
pkg_check_modules(KADENZO_TEST_AUDIO REQUIRED IMPORTED_TARGET sndfile soxr)
kadenzo_test(test_audio_file SOURCES test_audio_file.cpp ${PROJECT_SOURCE_DIR}/tools/audio_file.cpp
             LIBS metertracker PkgConfig::KADENZO_TEST_AUDIO LABELS tools)
target_include_directories(test_audio_file PRIVATE ${PROJECT_SOURCE_DIR}/tools)
