# The engine facade (QTempomind) and the audio inputs (AudioInterface on
# PortAudio, JackAudioInput on Kadenzo's own JACK client): everything of the
# application that needs Qt Core only, shared by the desktop window and
# `kadenzo live`.
add_library(pulsora_core STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/qtempomind.h
  ${CMAKE_CURRENT_SOURCE_DIR}/qtempomind.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/audioinput.h
  ${CMAKE_CURRENT_SOURCE_DIR}/audiointerface.h
  ${CMAKE_CURRENT_SOURCE_DIR}/audiointerface.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/audiosystem.h
  ${CMAKE_CURRENT_SOURCE_DIR}/audiosystem.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/jackaudioinput.h
  ${CMAKE_CURRENT_SOURCE_DIR}/jackaudioinput.cpp)
target_include_directories(pulsora_core PUBLIC ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(pulsora_core PUBLIC Qt6::Core PkgConfig::PORTAUDIO tempomind)
