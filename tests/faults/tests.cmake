# Fault injection: a preloadable library that disturbs the sender's writes and file reads, and the
# tests that run the built pushfile under it (its dynamically linked build, which a preloaded
# library can reach).
add_library(pushfile_fault_inject SHARED ${CMAKE_CURRENT_SOURCE_DIR}/faults/inject.cpp)
target_link_libraries(pushfile_fault_inject PRIVATE pushfile_warnings ${CMAKE_DL_LIBS})
# Preloaded ahead of everything, it must not pull in a sanitizer runtime of its own.
target_compile_options(pushfile_fault_inject PRIVATE -fno-sanitize=all)
target_link_options(pushfile_fault_inject PRIVATE -fno-sanitize=all)

add_executable(sender_faults_test ${CMAKE_CURRENT_SOURCE_DIR}/faults/sender_faults_test.cpp)
target_link_libraries(sender_faults_test PRIVATE pushfile_test_support pushfile_warnings GTest::gtest_main)
target_compile_definitions(sender_faults_test PRIVATE
  PUSHFILE_BINARY="$<TARGET_FILE:pushfile-dynamic>"
  FAULT_INJECT_LIBRARY="$<TARGET_FILE:pushfile_fault_inject>")
add_dependencies(sender_faults_test pushfile-dynamic pushfile_fault_inject)
gtest_discover_tests(sender_faults_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
