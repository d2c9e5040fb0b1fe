add_cassasync_test(NAME data_tests LABEL unit SOURCES
  data/record_set_test.cpp
  data/schema_test.cpp
  data/transfer_ledger_test.cpp
  data/transfer_engine_test.cpp
  data/journal_vfs_test.cpp
  data/super_journals_test.cpp)
# Replaces the global allocation functions: a program of its own.
add_cassasync_test(NAME data_memory_tests LABEL unit SOURCES
  data/journal_vfs_memory_test.cpp)
