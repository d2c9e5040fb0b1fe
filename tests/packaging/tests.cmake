# The systemd unit against the README's promises, systemd's rating of it, and the copy
# `cmake --install` makes.
add_cassasync_test(NAME packaging_tests LABEL unit SOURCES
  packaging/unit_file_test.cpp)
add_dependencies(packaging_tests cassasync cassasync-shop)
target_compile_definitions(packaging_tests PRIVATE CASSASYNC_CMAKE="${CMAKE_COMMAND}")
