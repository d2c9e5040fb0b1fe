add_cassasync_test(NAME frame_tests LABEL unit SOURCES
  frame/operation_log_test.cpp
  frame/startup_test.cpp
  frame/cycle_test.cpp
  frame/shop_demo_test.cpp
  frame/backups_test.cpp
)
