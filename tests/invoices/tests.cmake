add_cassasync_test(NAME invoices_tests LABEL unit SOURCES
  invoices/invoice_recovery_test.cpp
)
