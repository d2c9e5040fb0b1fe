add_cassasync_test(NAME frame_tests LABEL unit SOURCES
  frame/operation_log_test.cpp
  frame/startup_test.cpp
  frame/cycle_test.cpp
  frame/shop_demo_test.cpp
  frame/backups_test.cpp
  frame/health_test.cpp
)

# The real programs, started as processes.
add_cassasync_test(NAME frame_e2e_tests LABEL e2e SOURCES
  frame/service_e2e_test.cpp
)
add_dependencies(frame_e2e_tests cassasync cassasync-shop)
