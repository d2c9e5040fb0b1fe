add_cassasync_test(NAME data_tests LABEL unit SOURCES
  data/record_set_test.cpp
  data/schema_test.cpp
  data/transfer_ledger_test.cpp
  data/journal_vfs_test.cpp)
