# The transfer core on its own, linked without the relay or the session: the parser, the file sink
# and the answer window.
foreach(test_name stream_parser_test file_sink_test answer_window_test upload_frames_test)
  add_executable(${test_name} ${CMAKE_CURRENT_SOURCE_DIR}/transfer/${test_name}.cpp)
  target_link_libraries(${test_name} PRIVATE pushfile_transfer pushfile_warnings GTest::gtest_main)
  gtest_discover_tests(${test_name} DISCOVERY_TIMEOUT 60)
endforeach()
