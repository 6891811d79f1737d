# Meter tracker driver and its flat interface; accuracy on synthetic drum
# music; the Standard MIDI File writer; the `kadenzo analyze` command.
kadenzo_test(test_tracker SOURCES test_tracker.cpp LIBS metertracker LABELS tracker)
kadenzo_test(test_tracker_resonance SOURCES test_tracker_resonance.cpp LIBS metertracker
             LABELS tracker)
kadenzo_test(test_tracker_flat SOURCES test_tracker_flat.cpp LIBS metertracker LABELS tracker)
kadenzo_test(test_tracker_accuracy SOURCES test_tracker_accuracy.cpp LIBS metertracker
             LABELS tracker)

kadenzo_test(test_midi_file SOURCES test_midi_file.cpp ${PROJECT_SOURCE_DIR}/tools/midi_file.cpp
             ${PROJECT_SOURCE_DIR}/tools/output_file.cpp
             LABELS tools)
target_include_directories(test_midi_file PRIVATE ${PROJECT_SOURCE_DIR}/tools)

if(TARGET kadenzo)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KADENZO_TEST_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
  find_package(nlohmann_json REQUIRED)
  kadenzo_test(test_analyze_cli SOURCES test_analyze_cli.cpp
               LIBS PkgConfig::KADENZO_TEST_SNDFILE nlohmann_json::nlohmann_json LABELS tools)
  # The test runs the real executable on files it writes.
  target_compile_definitions(test_analyze_cli PRIVATE KADENZO_BINARY="$<TARGET_FILE:kadenzo>"
                             KADENZO_DEMO="${PROJECT_SOURCE_DIR}/data/demo.flac")
  add_dependencies(test_analyze_cli kadenzo)
endif()

# The enhanced model's stages and the model choice.
kadenzo_test(test_enhanced_stages SOURCES test_enhanced_stages.cpp LIBS metertracker LABELS tracker)
