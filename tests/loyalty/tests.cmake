add_cassasync_test(NAME loyalty_tests LABEL unit SOURCES
  loyalty/card_reads_test.cpp
  loyalty/card_transmission_test.cpp
  loyalty/card_totals_test.cpp
  loyalty/card_cycle_test.cpp
  loyalty/points_update_test.cpp)
