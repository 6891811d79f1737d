# The live audio path: the engine facade and the PortAudio input (against a
# fake engine, and through a JACK server of each test's own), and
# `kadenzo live` end to end, from sound to MIDI clock. Every test that starts
# a JACK server is labelled jack (they run one at a time); they are threaded
# too, but need the application, which the ThreadSanitizer build leaves out.
# Needs the application core, built only with KADENZO_BUILD_APP.
if(TARGET pulsora_core)
  find_package(Qt6 REQUIRED COMPONENTS Core)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIVE_JACK REQUIRED IMPORTED_TARGET jack)
  pkg_check_modules(LIVE_PORTAUDIO REQUIRED IMPORTED_TARGET portaudio-2.0)

  # The facade and the audio interface compiled against the fake engine
  # (live_fake_engine.cpp stands in for the engine library).
  function(kadenzo_live_fake_test NAME)
    cmake_parse_arguments(T "" "" "SOURCES;LABELS" ${ARGN})
    kadenzo_test(${NAME}
      SOURCES ${T_SOURCES} live_fake_engine.cpp
              ${PROJECT_SOURCE_DIR}/pulsora/qtempomind.h ${PROJECT_SOURCE_DIR}/pulsora/qtempomind.cpp
              ${PROJECT_SOURCE_DIR}/pulsora/audiointerface.cpp
              ${PROJECT_SOURCE_DIR}/tempomind/src/jack_watch.cpp
      LIBS Qt6::Core PkgConfig::LIVE_PORTAUDIO PkgConfig::LIVE_JACK
      LABELS ${T_LABELS})
    set_target_properties(${NAME} PROPERTIES AUTOMOC ON)
    target_include_directories(${NAME} PRIVATE ${PROJECT_SOURCE_DIR}/pulsora
      $<TARGET_PROPERTY:tempomind,INTERFACE_INCLUDE_DIRECTORIES>
      $<TARGET_PROPERTY:metertracker,INTERFACE_INCLUDE_DIRECTORIES>)
  endfunction()

  kadenzo_live_fake_test(test_live_facade SOURCES test_live_facade.cpp)
  kadenzo_live_fake_test(test_live_audio_jack SOURCES test_live_audio_jack.cpp
                         LABELS jack)

  # The facade and the audio input on the real engine.
  kadenzo_test(test_live_engine_jack SOURCES test_live_engine_jack.cpp
               LIBS pulsora_core PkgConfig::LIVE_JACK LABELS jack)
  # The window's input on Kadenzo's own JACK client, on the real engine.
  kadenzo_test(test_window_jack_input SOURCES test_window_jack_input.cpp
               LIBS pulsora_core PkgConfig::LIVE_JACK LABELS jack)
  # The window program itself too, except under the race detector, whose
  # build makes the tests alone.
  if(TARGET pulsora AND NOT KADENZO_TSAN)
    target_compile_definitions(test_window_jack_input PRIVATE
                               PULSORA_BINARY="$<TARGET_FILE:pulsora>")
    add_dependencies(test_window_jack_input pulsora)
  endif()

  # `kadenzo live` as a program: the end-to-end test and bad input.
  if(TARGET kadenzo)
    kadenzo_test(test_live_e2e SOURCES test_live_e2e.cpp LIBS tempomind PkgConfig::LIVE_JACK
                 LABELS jack)
    add_dependencies(test_live_e2e kadenzo)
    target_compile_definitions(test_live_e2e PRIVATE KADENZO_BINARY="$<TARGET_FILE:kadenzo>")
  endif()
endif()
