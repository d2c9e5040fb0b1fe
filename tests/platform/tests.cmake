add_cassasync_test(NAME platform_tests LABEL unit SOURCES
  platform/clock_test.cpp
  platform/file_system_test.cpp
  platform/path_map_test.cpp
  platform/pinger_test.cpp
  platform/process_starter_test.cpp
)
