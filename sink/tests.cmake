# The sink's tests: unit tests link quellix_sink_core; end-to-end tests load
# Quellix.so through the class registry.
add_library(quellix_sink_testing STATIC testing/sink_fixture.cpp testing/directory_fixture.cpp)
target_link_libraries(quellix_sink_testing PUBLIC quellix_sink_core lp_store lp_directory
                      lp_directory_testing lp_config GTest::gtest)

quellix_add_test(NAME sweep_test SOURCES sweep_test.cpp LIBS quellix_sink_testing)
quellix_add_test(NAME run_log_test SOURCES run_log_test.cpp LIBS quellix_sink_testing)
quellix_add_test(NAME mailboxes_test SOURCES mailboxes_test.cpp LIBS quellix_sink_testing)
