add_cassasync_test(NAME registers_tests LABEL unit SOURCES
  registers/reachability_test.cpp
  registers/semaphores_test.cpp
)
