# run_history.h: the run history and the metrics file, over the local
# platform's history.
target_sources(platform PRIVATE ${CMAKE_CURRENT_LIST_DIR}/run_history.cpp)
target_link_libraries(platform PRIVATE lp_history)
