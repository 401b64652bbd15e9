# The messaging library: calendar time zones on the system tz database.
target_sources(platform PRIVATE calendar.cpp)

quellix_add_test(NAME calendar_test SOURCES calendar_test.cpp LIBS platform)
