# The messaging library: the message object over lp_mail (GMime, libcurl) and
# the item store, and calendar time zones on the system tz database.
target_sources(platform PRIVATE calendar.cpp message.cpp)
target_link_libraries(platform PRIVATE lp_mail lp_store)

quellix_add_test(NAME calendar_test SOURCES calendar_test.cpp LIBS platform)
quellix_add_test(NAME message_test SOURCES message_test.cpp
                 LIBS platform lp_mail lp_mail_testing lp_store lp_config)
quellix_add_fuzzer(NAME zone_file_fuzz SOURCES ${CMAKE_CURRENT_LIST_DIR}/zone_file_fuzz.cpp LIBS platform)
