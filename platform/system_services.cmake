# Operating-system services: ActiveTimeBias, temporary directory, account name,
# listings (the store's share lists the store's namespaces).
target_sources(platform PRIVATE system.cpp)
target_link_libraries(platform PRIVATE lp_store lp_process)

quellix_add_test(NAME system_test SOURCES system_test.cpp LIBS platform lp_store lp_config)
quellix_add_fuzzer(NAME bias_bytes_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/bias_bytes_fuzz.cpp LIBS platform)
