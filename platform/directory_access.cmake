# ado_directory.h and ads.h over the local platform's directory.
target_sources(platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/ado_directory.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ads.cpp)
target_link_libraries(platform PRIVATE lp_directory)

quellix_add_test(NAME ado_directory_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ado_directory_test.cpp
                 LIBS platform lp_directory lp_directory_testing lp_config)
