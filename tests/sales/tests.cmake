add_cassasync_test(NAME closing_tests LABEL unit SOURCES sales/closing_test.cpp sales/vat_test.cpp)
add_cassasync_test(NAME closing_e2e_tests LABEL e2e SOURCES sales/closing_e2e_test.cpp)
add_cassasync_test(NAME sales_tests LABEL unit SOURCES
  sales/rounding_test.cpp
  sales/numbering_test.cpp
  sales/stock_update_test.cpp
  sales/barcode_ranking_test.cpp
  sales/receipt_import_test.cpp
  sales/held_lines_test.cpp)

# The daily reconciliation, through the engine and once through the real program.
add_cassasync_test(NAME reconciliation_tests LABEL unit SOURCES sales/reconciliation_test.cpp)
add_dependencies(reconciliation_tests cassasync-shop)
