# Sender tests: the encoding and display units against the libraries, and the built pushfile
# end to end under a pseudo-terminal.
set(sender_test_dir ${CMAKE_CURRENT_SOURCE_DIR}/sender)

foreach(test_name encoding_test display_test)
  add_executable(${test_name} ${sender_test_dir}/${test_name}.cpp)
  target_link_libraries(${test_name} PRIVATE pushfile_sender pushfile_warnings GTest::gtest_main)
  gtest_discover_tests(${test_name} DISCOVERY_TIMEOUT 60)
endforeach()

add_executable(sender_e2e_test ${sender_test_dir}/sender_e2e_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/support/pty_peer.cpp)
target_include_directories(sender_e2e_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(sender_e2e_test PRIVATE pushfile_warnings GTest::gtest_main util)
target_compile_definitions(sender_e2e_test PRIVATE PUSHFILE_BINARY="$<TARGET_FILE:pushfile>")
add_dependencies(sender_e2e_test pushfile)
gtest_discover_tests(sender_e2e_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
