if(CASSASYNC_BUILD_WINDOW)
  add_cassasync_test(NAME window_tests LABEL gui SOURCES
    window/main_window_test.cpp
    LIBS cassasync_window)
endif()
