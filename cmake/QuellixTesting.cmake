# quellix_add_test(NAME name SOURCES a.cpp b.cpp LIBS lib1 lib2 [LABELS l]
#                  [ENVIRONMENT VAR=value...])
# Builds one GoogleTest program and registers its cases with CTest.
include(GoogleTest)
function(quellix_add_test)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  set(env "QUELLIX_SOURCE_DIR=${PROJECT_SOURCE_DIR};QUELLIX_BINARY_DIR=${PROJECT_BINARY_DIR}")
  if(T_ENVIRONMENT)
    list(APPEND env ${T_ENVIRONMENT})
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300
               ENVIRONMENT "${env}")
endfunction()

# quellix_add_fuzzer(NAME name SOURCES a.cpp LIBS lib1)
# A libFuzzer target; built only with QUELLIX_FUZZ=ON under clang.
function(quellix_add_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(QUELLIX_FUZZ)
    add_executable(${F_NAME} ${F_SOURCES})
    target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${F_NAME} PRIVATE ${F_LIBS})
  endif()
endfunction()
