# The register stand-in on its own (quick, no network).
add_cassasync_test(NAME register_standin_tests LABEL unit SOURCES
  e2e/register_standin_test.cpp)
add_dependencies(register_standin_tests cassasync-register)

# The whole shop: the real programs, three registers at 127.0.0.1-3, real ICMP echoes.
# The service, started as a process on a shop the shop tool made.
add_cassasync_test(NAME service_e2e_tests LABEL e2e SOURCES
  e2e/service_test.cpp)
add_dependencies(service_e2e_tests cassasync cassasync-shop cassasync-register)

add_cassasync_test(NAME e2e_tests LABEL e2e TIMEOUT 600 SOURCES
  e2e/whole_shop_test.cpp)
add_dependencies(e2e_tests cassasync cassasync-shop cassasync-register)

# One cycle of the real service taking a barcode, a customer and an invoice central.
add_cassasync_test(NAME master_data_e2e_tests LABEL e2e TIMEOUT 300 SOURCES
  e2e/master_data_chain_test.cpp)
add_dependencies(master_data_e2e_tests cassasync cassasync-shop)

# The version the three programs report, and how a checkout's history becomes it.
add_cassasync_test(NAME version_tests LABEL unit SOURCES
  e2e/version_test.cpp)
add_dependencies(version_tests cassasync cassasync-shop cassasync-register)
target_compile_definitions(version_tests PRIVATE
  CASSASYNC_PROJECT_VERSION="${PROJECT_VERSION}"
  CASSASYNC_CMAKE="${CMAKE_COMMAND}"
  CASSASYNC_GIT="${GIT_EXECUTABLE}")

# The shop tool's view of held register rows, through the real program.
add_cassasync_test(NAME held_tool_tests LABEL unit SOURCES
  e2e/held_tool_test.cpp)
add_dependencies(held_tool_tests cassasync-shop)

# The receipt import killed mid-run in a child process, then run again.
add_executable(sales_crash_child e2e/receipt_import_crash_child.cpp)
target_link_libraries(sales_crash_child PRIVATE cassasync_test_support)
add_cassasync_test(NAME sales_e2e_tests LABEL e2e TIMEOUT 120 SOURCES e2e/receipt_import_crash_test.cpp)
add_dependencies(sales_e2e_tests sales_crash_child)
target_compile_definitions(sales_e2e_tests PRIVATE CASSASYNC_CRASH_CHILD="$<TARGET_FILE:sales_crash_child>")

# Faults at a register's share and a clock stepping back, under the real service.
add_cassasync_test(NAME share_fault_e2e_tests LABEL e2e TIMEOUT 300 SOURCES
  e2e/share_faults_test.cpp)
add_dependencies(share_fault_e2e_tests cassasync cassasync-shop cassasync-register)

# A backup taken while the registers ring, restored a day later, and what reconciliation
# and a requeue make of it.
add_cassasync_test(NAME backup_restore_e2e_tests LABEL e2e TIMEOUT 300 SOURCES
  e2e/backup_restore_test.cpp)
add_dependencies(backup_restore_e2e_tests cassasync cassasync-shop cassasync-register)

# The health views of the real service: status server under bad requests, the service
# manager's notifications, the page in a headless browser (skipped without one).
add_cassasync_test(NAME health_e2e_tests LABEL e2e TIMEOUT 300 SOURCES
  e2e/health_e2e_test.cpp
  LIBS cassasync_status_page)
add_dependencies(health_e2e_tests cassasync cassasync-shop)
