# quellix_add_test(NAME name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l]
#                  [ENVIRONMENT VAR=value...])
# Builds one GoogleTest program and registers its cases with CTest.
include(GoogleTest)
function(quellix_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} quellix_base_testing GTest::gtest GTest::gtest_main
                        Threads::Threads)
  # A test named ...Child is the child half of a crash or kill test: its
  # parent runs it as a program; it is no test of its own.
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 TEST_FILTER "-*Child")
  # The properties are set by a file that CTest reads after the discovered
  # tests: a list value (or an empty one) given through gtest_discover_tests'
  # PROPERTIES would be split into separate arguments and misread.
  set(env "QUELLIX_SOURCE_DIR=${PROJECT_SOURCE_DIR}" "QUELLIX_BINARY_DIR=${PROJECT_BINARY_DIR}"
      ${T_ENVIRONMENT})
  set(env_file "${CMAKE_CURRENT_BINARY_DIR}/${T_NAME}_environment.cmake")
  file(WRITE "${env_file}"
       "if(${T_NAME}_TESTS)\n"
       "  set_tests_properties(\${${T_NAME}_TESTS} PROPERTIES TIMEOUT 300\n"
       "    LABELS [==[${T_LABELS}]==] ENVIRONMENT [==[${env}]==])\n"
       "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${env_file}")
endfunction()

# quellix_add_fuzzer(NAME name SOURCES a.cpp LIBS lib1)
# A libFuzzer target; built only with QUELLIX_FUZZ=ON under clang. Its seed
# corpus is the folder fuzz_corpus/<name without "_fuzz"> beside its source;
# the target "fuzzers" builds every one (scripts/test.sh runs each briefly).
function(quellix_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(QUELLIX_FUZZ)
    if(NOT TARGET fuzzers)
      add_custom_target(fuzzers)
    endif()
    add_executable(${F_NAME} ${F_SOURCES})
    add_dependencies(fuzzers ${F_NAME})
    target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  endif()
endfunction()
