add_cassasync_test(NAME closing_tests LABEL unit SOURCES sales/closing_test.cpp sales/vat_test.cpp)
add_cassasync_test(NAME closing_e2e_tests LABEL e2e SOURCES sales/closing_e2e_test.cpp)
add_cassasync_test(NAME sales_tests LABEL unit SOURCES
  sales/rounding_test.cpp
  sales/numbering_test.cpp
  sales/stock_update_test.cpp
  sales/barcode_ranking_test.cpp
  sales/receipt_import_test.cpp
  sales/held_lines_test.cpp)
# The crash test kills a child process that runs the import; the child is built here.
add_executable(sales_crash_child sales/receipt_import_crash_child.cpp)
target_link_libraries(sales_crash_child PRIVATE cassasync_test_support)
add_cassasync_test(NAME sales_e2e_tests LABEL e2e TIMEOUT 120 SOURCES sales/receipt_import_crash_test.cpp)
add_dependencies(sales_e2e_tests sales_crash_child)
target_compile_definitions(sales_e2e_tests PRIVATE CASSASYNC_CRASH_CHILD="$<TARGET_FILE:sales_crash_child>")

# The daily reconciliation, through the engine and once through the real program.
add_cassasync_test(NAME reconciliation_tests LABEL unit SOURCES sales/reconciliation_test.cpp)
add_dependencies(reconciliation_tests cassasync-shop)
