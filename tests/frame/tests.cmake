add_cassasync_test(NAME frame_tests LABEL unit SOURCES
  frame/operation_log_test.cpp
  frame/startup_test.cpp
  frame/cycle_test.cpp
  frame/backups_test.cpp
  frame/health_test.cpp
  frame/batch_turns_test.cpp
)

# Power cuts at the back office, on a disk that loses unsynced writes; in-process, a
# small shop built by the real programs. scripts/powercut.sh runs it with more cuts.
add_cassasync_test(NAME power_cut_tests LABEL unit SOURCES
  frame/power_cut_test.cpp
)
add_dependencies(power_cut_tests cassasync-shop cassasync-register)
