# pullfile end to end: the built program fed frames on pipes and on a terminal. It runs as the
# receiver runs in receiver_run.h (the upload's receiving side), so that helper starts it too.
add_executable(pullfile_test ${CMAKE_CURRENT_SOURCE_DIR}/pullfile/pullfile_test.cpp)
target_link_libraries(pullfile_test PRIVATE pushfile_transfer pushfile_test_support pushfile_warnings GTest::gtest_main)
target_compile_definitions(pullfile_test PRIVATE
  PULLFILE_BINARY="$<TARGET_FILE:pullfile>"
  RECEIVER_RUN_PROGRAM=PULLFILE_BINARY)
add_dependencies(pullfile_test pullfile)
gtest_discover_tests(pullfile_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# pullfile's session on its own: frames in, a real file sink on a scratch folder, a recording output.
add_executable(pull_session_test ${CMAKE_CURRENT_SOURCE_DIR}/pullfile/pull_session_test.cpp)
target_link_libraries(pull_session_test PRIVATE pushfile_pull pushfile_warnings GTest::gtest_main)
gtest_discover_tests(pull_session_test DISCOVERY_TIMEOUT 60)
