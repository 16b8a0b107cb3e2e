# GoogleTest built from its sources, for a target that the installed
# GoogleTest (built for the build machine) does not run on: a cross build,
# WebAssembly. Debian's libgtest-dev installs the sources too.
#   pcmtaper_add_googletest_sources(<disable threads: ON/OFF>)
# defines GTest::gtest and GTest::gtest_main.
set(PCMTAPER_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources, built when cross-compiling")

function(pcmtaper_add_googletest_sources disable_threads)
  if(NOT EXISTS ${PCMTAPER_GTEST_SOURCE_DIR}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest sources in ${PCMTAPER_GTEST_SOURCE_DIR}: "
                        "apt-get install libgtest-dev, or give -DPCMTAPER_GTEST_SOURCE_DIR=<googletest checkout>")
  endif()
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ${disable_threads} CACHE BOOL "" FORCE)
  add_subdirectory(${PCMTAPER_GTEST_SOURCE_DIR} ${CMAKE_CURRENT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  # Not our code: our warning options do not apply to it.
  target_compile_options(gtest PRIVATE -w)
  target_compile_options(gtest_main PRIVATE -w)
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endfunction()
