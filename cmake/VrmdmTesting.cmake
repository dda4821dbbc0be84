# Helpers for the GoogleTest suites under tests/<component>/.
#
#   vrmdm_add_test_suite(NAME <exe> [COMPONENT <label>] SOURCES <files...>
#                        [LIBS <targets...>] [INCLUDES <dirs...>] [TIMEOUT <seconds>]
#                        [PROPERTIES <name> <value>...])
#     Builds one gtest executable and registers each of its test cases with CTest,
#     labelled <label> (default: <exe>), so `ctest -L <label>` runs that component.
#     PROPERTIES are set on every case too (e.g. FIXTURES_REQUIRED).
#     The suite links the shared test support (tests/support/*.cpp),
#     GoogleTest/GoogleMock and gtest_main; a main() in the support code or in the
#     suite's own sources takes precedence over gtest_main's.
#
#   vrmdm_add_component_tests(<component> [LIBS <targets...>])
#     One-liner for tests/<component>/CMakeLists.txt: globs *_test.cpp (and
#     support/*.cpp) of the calling directory into the suite <component>_tests.

include(GoogleTest)

function(vrmdm_add_test_suite)
  cmake_parse_arguments(PARSE_ARGV 0 ARG "" "NAME;COMPONENT;TIMEOUT" "SOURCES;LIBS;INCLUDES;PROPERTIES")
  if(NOT ARG_NAME)
    message(FATAL_ERROR "vrmdm_add_test_suite: NAME is required")
  endif()
  if(NOT ARG_SOURCES)
    message(FATAL_ERROR "vrmdm_add_test_suite(${ARG_NAME}): SOURCES is empty")
  endif()
  if(NOT ARG_COMPONENT)
    set(ARG_COMPONENT "${ARG_NAME}")
  endif()
  if(NOT ARG_TIMEOUT)
    # Generous per case: sanitizer builds run several times slower.
    set(ARG_TIMEOUT 120)
  endif()

  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_include_directories(${ARG_NAME} PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}" ${ARG_INCLUDES})
  target_link_libraries(${ARG_NAME} PRIVATE test_support ${ARG_LIBS} GTest::gmock GTest::gtest GTest::gtest_main
                                            Threads::Threads)
  # Discover at test time so a build never runs a (possibly sanitized) binary.
  gtest_discover_tests(${ARG_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${ARG_COMPONENT}" TIMEOUT ${ARG_TIMEOUT} ${ARG_PROPERTIES})
endfunction()

function(vrmdm_add_component_tests component)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "" "LIBS")
  file(GLOB _tests CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*_test.cpp")
  file(GLOB_RECURSE _support CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/support/*.cpp")
  set(_includes "")
  if(IS_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}/support")
    list(APPEND _includes "${CMAKE_CURRENT_SOURCE_DIR}/support")
  endif()
  vrmdm_add_test_suite(NAME ${component}_tests COMPONENT ${component}
                       SOURCES ${_tests} ${_support} LIBS ${ARG_LIBS} INCLUDES ${_includes})
endfunction()
