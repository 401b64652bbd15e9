# run_history.h: the run history and the metrics file, over the local
# platform's history.
target_sources(platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/run_history.cpp)
target_link_libraries(platform PRIVATE lp_history)
quellix_add_test(NAME run_recorder_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/run_recorder_test.cpp
                 LIBS platform lp_history lp_config)
