# The sink's tests: unit tests link quellix_sink_core_faults; end-to-end tests load
# Quellix.so through the class registry.
add_library(quellix_sink_testing STATIC testing/sink_fixture.cpp)
target_link_libraries(quellix_sink_testing PUBLIC quellix_sink_core_faults quellix_selection_testing)

quellix_add_test(NAME sweep_test SOURCES sweep_test.cpp LIBS quellix_sink_testing lp_sqlite)
quellix_add_test(NAME run_log_test SOURCES run_log_test.cpp LIBS quellix_sink_testing)
quellix_add_test(NAME mailboxes_test SOURCES mailboxes_test.cpp LIBS quellix_sink_testing)
quellix_add_test(NAME destination_test SOURCES destination_test.cpp LIBS quellix_sink_testing)
quellix_add_test(NAME quellix_module_test SOURCES quellix_module_test.cpp LIBS quellix_sink_testing)
quellix_add_test(NAME run_record_test SOURCES run_record_test.cpp LIBS quellix_sink_testing lp_sqlite)

quellix_add_test(NAME mail_store_run_test SOURCES mail_store_run_test.cpp
                 LIBS quellix_sink_testing platform lp_store_mailserver_testing lp_sqlite)
quellix_add_test(NAME parallel_run_test SOURCES parallel_run_test.cpp
                 LIBS quellix_sink_testing platform lp_store_mailserver_testing)
quellix_add_test(NAME cluster_run_test SOURCES cluster_run_test.cpp
                 LIBS quellix_sink_testing platform lp_store_mailserver_testing)
quellix_add_test(NAME quellix_e2e_test SOURCES quellix_e2e_test.cpp
                 LIBS quellix_sink_testing platform lp_mail lp_mail_testing)
target_compile_definitions(quellix_e2e_test PRIVATE
  QUELLIX_MODULE_PATH="$<TARGET_FILE:Quellix>"
  QUELLIX_HOST_PATH="$<TARGET_FILE:quellix-host>")
add_dependencies(quellix_e2e_test Quellix quellix-host)

# Quellix.so makes visible its four entry points and nothing else.
add_test(NAME quellix_exports
         COMMAND sh -c "test \"$(nm -D --defined-only '$<TARGET_FILE:Quellix>' | awk '{print $3}' | sort | tr '\\n' ' ')\" = 'DllCanUnloadNow DllGetClassObject DllRegisterServer DllUnregisterServer '")
