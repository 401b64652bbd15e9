# Libraries of the verb groups of quellix-admin (one line per group).
if(EXISTS ${CMAKE_CURRENT_LIST_DIR}/admin_store.cpp)
  target_link_libraries(quellix-admin PRIVATE lp_store platform)
endif()
