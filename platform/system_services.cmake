# Operating-system services: ActiveTimeBias, temporary directory, account name, listings.
target_sources(platform PRIVATE system.cpp)

quellix_add_test(NAME system_test SOURCES system_test.cpp LIBS platform lp_config)
