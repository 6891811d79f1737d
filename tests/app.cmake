# The desktop application's tests (QtTest): the main window, the settings
# dialogs, the level meter and the program entry's style sheet and error
# dialogs. The window and dialog tests link stand-ins for the engine's tm_
# interface and for PortAudio (app_fakes.h) ahead of the real libraries, so
# they choose the devices and read back every call; the others use the real
# ones but never start them. Each test runs on the offscreen platform with a
# settings store of its own.
if(TARGET pulsora_ui)
  # Imported Qt targets are visible per directory: find them here too.
  find_package(Qt6 REQUIRED COMPONENTS Widgets Test)

  function(kadenzo_app_test NAME)
    cmake_parse_arguments(T "" "" "SOURCES" ${ARGN})
    add_executable(${NAME} ${T_SOURCES} ${CMAKE_CURRENT_SOURCE_DIR}/app_test_support.h)
    set_target_properties(${NAME} PROPERTIES AUTOMOC ON)
    target_include_directories(${NAME} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
    target_link_libraries(${NAME} PRIVATE pulsora_ui Qt6::Test)
    add_test(NAME ${NAME} COMMAND ${NAME})
    # The program itself points XDG_CONFIG_HOME (and XDG_RUNTIME_DIR, when
    # unset) at fresh temporary folders (app_test_support.h).
    set_tests_properties(${NAME} PROPERTIES TIMEOUT 120 LABELS app
      ENVIRONMENT QT_QPA_PLATFORM=offscreen)
  endfunction()

  set(KADENZO_APP_FAKES
    ${CMAKE_CURRENT_SOURCE_DIR}/app_fakes.h
    ${CMAKE_CURRENT_SOURCE_DIR}/app_fake_engine.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/app_fake_portaudio.cpp)

  kadenzo_app_test(test_app_mainwindow SOURCES test_app_mainwindow.cpp ${KADENZO_APP_FAKES})
  kadenzo_app_test(test_app_settingsdialog SOURCES test_app_settingsdialog.cpp ${KADENZO_APP_FAKES})
  kadenzo_app_test(test_app_meter SOURCES test_app_meter.cpp)
  kadenzo_app_test(test_app_startup SOURCES test_app_startup.cpp)
endif()
