# GoogleTest for a cross target: Debian ships its library for the build machine only, and its
# source in /usr/src/googletest (package googletest, which libgtest-dev pulls in). Built inside
# the project's tree, for the tests alone: nothing of it is installed.
if(NOT TARGET GTest::gtest_main)
  set(BUILD_GMOCK OFF)
  set(INSTALL_GTEST OFF)
  # Its build names its libraries GTest::gtest and GTest::gtest_main, as the installed ones are.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # Its own code draws a false -Wrestrict from g++ 12; not ours to fix.
  target_compile_options(gtest PRIVATE -w)
endif()
set(GTest_FOUND TRUE)
