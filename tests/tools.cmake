# The kadenzo command's output files: refused when they are an input or
# another output, checked before the work, and only ever complete.
if(TARGET kadenzo)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(KADENZO_TOOLS_SNDFILE REQUIRED IMPORTED_TARGET sndfile)
  kadenzo_test(test_cli_outputs SOURCES test_cli_outputs.cpp
               ${PROJECT_SOURCE_DIR}/tools/output_file.cpp
               LIBS PkgConfig::KADENZO_TOOLS_SNDFILE LABELS tools)
  target_include_directories(test_cli_outputs PRIVATE ${PROJECT_SOURCE_DIR}/tools)
  target_compile_definitions(test_cli_outputs PRIVATE KADENZO_BINARY="$<TARGET_FILE:kadenzo>")
  add_dependencies(test_cli_outputs kadenzo)
endif()

# Batch analysis: folders, JSONL, resuming, workers, GNU parallel.
if(TARGET kadenzo)
  find_package(nlohmann_json REQUIRED)
  kadenzo_test(test_analyze_batch SOURCES test_analyze_batch.cpp
               LIBS PkgConfig::KADENZO_TOOLS_SNDFILE nlohmann_json::nlohmann_json LABELS tools)
  target_compile_definitions(test_analyze_batch PRIVATE KADENZO_BINARY="$<TARGET_FILE:kadenzo>")
  add_dependencies(test_analyze_batch kadenzo)
endif()
# `kadenzo live`'s control input: the control map and the terminal's keys.
kadenzo_test(test_control_input SOURCES test_control_input.cpp LIBS kadenzo_tools util
             LABELS tools)
