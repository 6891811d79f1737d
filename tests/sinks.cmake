# The outputs besides MIDI: OSC (a render's log against its MIDI clock, the
# live sink to a liblo receiver on 127.0.0.1) and Ableton Link (in a private
# network namespace, with a second peer in the test).
kadenzo_test(test_osc_output SOURCES test_osc_output.cpp LIBS kadenzo_tools
             LABELS concurrency)
if(TARGET kadenzo)
  target_compile_definitions(test_osc_output PRIVATE KADENZO_BINARY="$<TARGET_FILE:kadenzo>")
  add_dependencies(test_osc_output kadenzo)
endif()
find_package(AbletonLink CONFIG REQUIRED)
kadenzo_test(test_link_output SOURCES test_link_output.cpp LIBS kadenzo_tools Ableton::Link
             LABELS network)
