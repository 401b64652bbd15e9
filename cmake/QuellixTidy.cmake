# With QUELLIX_TIDY=ON (the "tidy" preset), every target of the system's own
# code -- not the tests, test support, fuzz targets or benchmarks -- is
# compiled with clang-tidy, and the target "tidy" builds them all. The checks
# and their strictness are in .clang-tidy (every warning is an error).
function(quellix_collect_targets dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    quellix_collect_targets(${sub} more)
    list(APPEND targets ${more})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

if(QUELLIX_TIDY)
  find_program(CLANG_TIDY_PROGRAM clang-tidy REQUIRED)
  # Sources generated into the build tree (Qt's moc output) are not ours to
  # check: clang-tidy finds this file before the project's for them. One
  # check stays on, because clang-tidy refuses to run with none.
  file(WRITE ${CMAKE_BINARY_DIR}/.clang-tidy
       "# Written by cmake/QuellixTidy.cmake: generated code is not checked.\n"
       "Checks: '-*,bugprone-undelegated-constructor'\n")
  quellix_collect_targets(${PROJECT_SOURCE_DIR} all_targets)
  set(tidy_targets "")
  foreach(t ${all_targets})
    get_target_property(type ${t} TYPE)
    if(NOT type MATCHES "^(STATIC_LIBRARY|SHARED_LIBRARY|MODULE_LIBRARY|EXECUTABLE)$")
      continue()
    endif()
    get_target_property(sources ${t} SOURCES)
    set(own TRUE)
    foreach(s ${sources})
      if(s MATCHES "(_test|_fuzz|_bench)\\.cpp$|(^|/)(testing|bench)/")
        set(own FALSE)
      endif()
    endforeach()
    if(own)
      set_target_properties(${t} PROPERTIES CXX_CLANG_TIDY "${CLANG_TIDY_PROGRAM};--quiet")
      list(APPEND tidy_targets ${t})
    endif()
  endforeach()
  add_custom_target(tidy DEPENDS ${tidy_targets})
endif()
