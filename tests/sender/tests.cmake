# Sender tests: the built pushfile end to end under a pseudo-terminal, and in a real tmux pane.
set(sender_test_dir ${CMAKE_CURRENT_SOURCE_DIR}/sender)

add_executable(sender_e2e_test ${sender_test_dir}/sender_e2e_test.cpp)
target_link_libraries(sender_e2e_test PRIVATE pushfile_test_support pushfile_warnings GTest::gtest_main)
target_compile_definitions(sender_e2e_test PRIVATE PUSHFILE_BINARY="$<TARGET_FILE:pushfile>")
add_dependencies(sender_e2e_test pushfile)
gtest_discover_tests(sender_e2e_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)

# pushfile (and pullfile) in a pane of the real tmux, the real receiver outside it (.ci/run installs
# tmux), and once more through the link simulator.
add_executable(tmux_test ${sender_test_dir}/tmux_test.cpp)
target_link_libraries(tmux_test PRIVATE pushfile_test_support pushfile_warnings GTest::gtest_main)
target_compile_definitions(tmux_test PRIVATE
  PUSHFILE_BINARY="$<TARGET_FILE:pushfile>"
  RECEIVER_BINARY="$<TARGET_FILE:pushfile-receive>"
  LINK_SIM_BINARY="$<TARGET_FILE:link_sim>"
  PULLFILE_BINARY="$<TARGET_FILE:pullfile>")
add_dependencies(tmux_test pushfile pushfile-receive link_sim pullfile)
# Alone: tmux drops what a pane passes through for a client that falls behind, and a 50 ms link to a
# client starved of the CPU by the heaviest tests beside it once lost a message that way (in CI).
gtest_discover_tests(tmux_test DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 RUN_SERIAL TRUE)
