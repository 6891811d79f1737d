# The desktop application: main window, dialogs, forms, style sheet and
# images (library pulsora_ui, an OBJECT library so that its resources reach
# every program linking it), and the `pulsora` executable.
add_library(pulsora_ui OBJECT
  ${CMAKE_CURRENT_SOURCE_DIR}/mainwindow.h
  ${CMAKE_CURRENT_SOURCE_DIR}/mainwindow.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/mainwindow.ui
  ${CMAKE_CURRENT_SOURCE_DIR}/aboutdialog.ui
  ${CMAKE_CURRENT_SOURCE_DIR}/settingsdialog.h
  ${CMAKE_CURRENT_SOURCE_DIR}/settingsdialog.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/settingsdialog.ui
  ${CMAKE_CURRENT_SOURCE_DIR}/advancedsettings.h
  ${CMAKE_CURRENT_SOURCE_DIR}/advancedsettings.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/advancedsettings.ui
  ${CMAKE_CURRENT_SOURCE_DIR}/nomusicdialog.h
  ${CMAKE_CURRENT_SOURCE_DIR}/nomusicdialog.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/nomusicdialog.ui
  ${CMAKE_CURRENT_SOURCE_DIR}/meter.h
  ${CMAKE_CURRENT_SOURCE_DIR}/meter.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/startup.h
  ${CMAKE_CURRENT_SOURCE_DIR}/startup.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/pulsora.qrc)
target_include_directories(pulsora_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(pulsora_ui PUBLIC pulsora_core Qt6::Widgets)
# The error dialogs' links lead to the README's desktop section.
target_compile_definitions(pulsora_ui PRIVATE PULSORA_HELP_FILE="${PROJECT_SOURCE_DIR}/README.md")

add_executable(pulsora ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(pulsora PRIVATE pulsora_ui)
install(TARGETS pulsora RUNTIME DESTINATION bin)
