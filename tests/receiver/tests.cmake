# Receiver tests: one program per unit, beside the layer it belongs to (relay/, session/), and the
# whole receiver run as a program at the top; all are built after the programs they may run.
set(receiver_test_dir ${CMAKE_CURRENT_SOURCE_DIR}/receiver)
foreach(test_path relay/relay_test relay/byte_queue_test relay/line_queue_test relay/output_scanner_test
                  relay/screen_writer_test
                  session/session_test session/progress_test session/forwarder_test session/upload_prompt_test
                  session/upload_sources_test session/upload_pacer_test
                  settings_test
                  receiver_e2e_test hostile_test load_test)
  cmake_path(GET test_path FILENAME test_name)
  add_executable(${test_name} ${receiver_test_dir}/${test_path}.cpp)
  target_link_libraries(${test_name} PRIVATE pushfile_receiver pushfile_test_support pushfile_warnings
                                             GTest::gtest_main)
  target_compile_definitions(${test_name} PRIVATE
    PUSHFILE_BINARY="$<TARGET_FILE:pushfile>"
    RECEIVER_BINARY="$<TARGET_FILE:pushfile-receive>"
    LINK_SIM_BINARY="$<TARGET_FILE:link_sim>"
    PULLFILE_BINARY="$<TARGET_FILE:pullfile>")
  add_dependencies(${test_name} pushfile pushfile-receive link_sim pullfile)
  if(test_name STREQUAL "load_test")
    # Heavy runs (thousands of files, gigabytes): left out of the sanitizer pass.
    gtest_discover_tests(${test_name} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS load TIMEOUT 900)
  else()
    gtest_discover_tests(${test_name} DISCOVERY_TIMEOUT 60)
  endif()
endforeach()
