# Shared code: the letter routines against each other, the message formatting, and display
# escaping.
foreach(test_name encoding_test display_test)
  add_executable(${test_name} ${CMAKE_CURRENT_SOURCE_DIR}/common/${test_name}.cpp)
  target_link_libraries(${test_name} PRIVATE pushfile_common pushfile_warnings GTest::gtest_main)
  gtest_discover_tests(${test_name} DISCOVERY_TIMEOUT 60)
endforeach()

# Complete reads and writes, and the remote side's error line written in full.
add_executable(io_test ${CMAKE_CURRENT_SOURCE_DIR}/common/io_test.cpp)
target_link_libraries(io_test PRIVATE pushfile_remote pushfile_warnings GTest::gtest_main)
gtest_discover_tests(io_test DISCOVERY_TIMEOUT 60)

# The folder walk on its own: order, folders entered and left, what it passes over, its limits.
add_executable(folder_walk_test ${CMAKE_CURRENT_SOURCE_DIR}/common/folder_walk_test.cpp)
target_link_libraries(folder_walk_test PRIVATE pushfile_common pushfile_warnings GTest::gtest_main)
gtest_discover_tests(folder_walk_test DISCOVERY_TIMEOUT 60)
