add_cassasync_test(NAME register_side_tests LABEL unit SOURCES
  register_side/register_side_test.cpp
  LIBS cassasync_register_side)
