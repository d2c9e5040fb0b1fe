add_cassasync_test(NAME masterdata_tests LABEL unit SOURCES
  masterdata/article_sync_test.cpp
  masterdata/customer_import_test.cpp
  masterdata/loader_launch_test.cpp
)
