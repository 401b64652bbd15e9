# ado.h over the embedded item store: Connection, Record, Fields, Recordset.
target_sources(platform PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/connection.cpp
  ${CMAKE_CURRENT_LIST_DIR}/record.cpp
  ${CMAKE_CURRENT_LIST_DIR}/fields.cpp
  ${CMAKE_CURRENT_LIST_DIR}/recordset.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_lock.cpp
  ${CMAKE_CURRENT_LIST_DIR}/move_manifest.cpp)
target_link_libraries(platform PRIVATE lp_store)

quellix_add_test(NAME ado_store_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ado_store_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/run_lock_test.cpp ${CMAKE_CURRENT_LIST_DIR}/move_manifest_test.cpp
  LIBS platform lp_store_testing PkgConfig::SQLITE3)

quellix_add_test(NAME mail_store_access_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/mail_store_access_test.cpp
  LIBS platform lp_store_testing lp_store_dovecot_testing)

if(QUELLIX_BENCH)
  # What the move manifest costs a move run, and putting a run back
  # (run by scripts/bench-undo.sh).
  add_executable(move_manifest_bench ${CMAKE_CURRENT_LIST_DIR}/bench/move_manifest_bench.cpp)
  target_link_libraries(move_manifest_bench PRIVATE platform lp_store lp_config quellix_base_testing)
endif()
