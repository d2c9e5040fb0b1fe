# The status server in process, on free loopback ports.
add_cassasync_test(NAME status_page_tests LABEL unit SOURCES
  status_page/status_server_test.cpp
  LIBS cassasync_status_page
)
