# quarbsl_layer(NAME SOURCES... [DEPS libs...])
# One static library per layer, named quar_<NAME>; sources are relative to
# the calling folder, headers are included as "<layer>/<file>.h" from src/.
function(quarbsl_layer name)
  cmake_parse_arguments(L "" "" "SOURCES;DEPS" ${ARGN})
  add_library(quar_${name} STATIC ${L_SOURCES})
  target_include_directories(quar_${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_BINARY_DIR}/generated)
  if(L_DEPS)
    target_link_libraries(quar_${name} PUBLIC ${L_DEPS})
  endif()
endfunction()

# quarbsl_test(NAME SOURCES... [LIBS libs...])
# A GoogleTest executable registered with CTest, one CTest entry per test case.
function(quarbsl_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;ENV" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # The environment goes through env(1) as the test's launcher, so every
  # entry reaches both the test discovery and the test run.
  if(T_ENV)
    set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR "env;${T_ENV}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
endfunction()
