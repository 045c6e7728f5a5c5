# Helpers that turn folders into targets, so adding a source, test, benchmark or
# fuzz target is adding a file.

set(TARLUME_WARNINGS -Wall -Wextra)
if(TARLUME_WERROR)
  list(APPEND TARLUME_WARNINGS -Werror)
endif()

# tarlume_library(<name> DIRS <dir>... [EXCLUDE <regex>] DEPS <target>...)
# A static library over every .cpp/.c below the given folders of src/.
# A library without sources yet becomes an interface library carrying its dependencies.
function(tarlume_library name)
  cmake_parse_arguments(ARG "" "EXCLUDE" "DIRS;DEPS" ${ARGN})
  set(sources "")
  foreach(dir ${ARG_DIRS})
    file(GLOB_RECURSE found CONFIGURE_DEPENDS
      ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.c)
    list(APPEND sources ${found})
  endforeach()
  if(ARG_EXCLUDE)
    list(FILTER sources EXCLUDE REGEX "${ARG_EXCLUDE}")
  endif()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_compile_options(${name} PRIVATE ${TARLUME_WARNINGS})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# tarlume_test_dir(<folder> <library>...)
# One GoogleTest executable per folder of tests/, each test registered with CTest.
function(tarlume_test_dir dir)
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS
    ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT sources)
    return()
  endif()
  string(REPLACE "/" "_" tname "test_${dir}")
  add_executable(${tname} ${sources} ${PROJECT_SOURCE_DIR}/tests/support/SanitizerDefaults.cpp)
  target_compile_options(${tname} PRIVATE ${TARLUME_WARNINGS})
  target_include_directories(${tname} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${tname} PRIVATE
    TARLUME_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    TARLUME_FIXTURES_DIR="${PROJECT_SOURCE_DIR}/tests/fixtures"
    TARLUME_GENERATED_FIXTURES_DIR="${PROJECT_BINARY_DIR}/fixtures")
  target_link_libraries(${tname} PRIVATE ${ARGN} tarlume_test_support GTest::gtest GTest::gmock GTest::gtest_main)
  # The generated fixtures and timecode tables are part of what the tests read: building a test program
  # alone (as the sanitizer stages do) makes them too.
  add_dependencies(${tname} tarlume_fixtures tarlume_timecode_table_files)
  # Added to the caller's environment, which the tests inherit whole (TARLUME_CI=1 in CI turns a skip for
  # a missing component into a failure; the sanitizer options pass through the same way).
  set(test_environment "TARLUME_TEST=1")
  # Suites that start JACK servers (names with "Jack", and the shell's end-to-end runs) take turns: two of
  # them at once on a small machine make PortAudio miss its server or a server die at start.
  set(jack_suites "*Jack*:ShellEndToEnd*")
  gtest_discover_tests(${tname} DISCOVERY_TIMEOUT 60 TEST_FILTER "-Slow*:${jack_suites}"
    PROPERTIES LABELS ${dir} ENVIRONMENT "${test_environment}")
  # They drive servers and other programs: one that hangs fails in ten minutes instead of holding the lock
  # (and the stage) for ctest's default 25.
  gtest_discover_tests(${tname} DISCOVERY_TIMEOUT 60 TEST_FILTER "${jack_suites}-Slow*"
    PROPERTIES LABELS ${dir} ENVIRONMENT "${test_environment}" RESOURCE_LOCK jack TIMEOUT 600)
  # Suites whose name starts with "Slow" take longer than a routine run allows: labelled "slow".
  gtest_discover_tests(${tname} DISCOVERY_TIMEOUT 60 TEST_FILTER "Slow*-${jack_suites}"
    PROPERTIES LABELS slow ENVIRONMENT "${test_environment}")
  gtest_discover_tests(${tname} DISCOVERY_TIMEOUT 60 TEST_FILTER "Slow*Jack*"
    PROPERTIES LABELS slow ENVIRONMENT "${test_environment}" RESOURCE_LOCK jack TIMEOUT 600)
endfunction()
