# com.h: the component vocabulary, class activation and self-registration
# calls, over the local platform's class registry.
target_sources(platform PRIVATE com.cpp)
target_link_libraries(platform PRIVATE lp_classes ${CMAKE_DL_LIBS})
quellix_add_test(NAME com_test SOURCES com_test.cpp LIBS platform lp_classes lp_config)

# com_admin.h: the component services catalog over the local platform's catalog.
target_sources(platform PRIVATE com_admin.cpp)
target_link_libraries(platform PRIVATE lp_catalog)
quellix_add_test(NAME com_admin_test SOURCES com_admin_test.cpp
                 LIBS platform lp_catalog lp_classes lp_store_testing)
