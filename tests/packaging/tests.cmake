# The systemd unit against the README's promises, systemd's rating of it, and the copy
# `cmake --install` makes.
add_cassasync_test(NAME packaging_tests LABEL unit SOURCES
  packaging/unit_file_test.cpp)
# `cmake --install` needs everything it installs built.
add_dependencies(packaging_tests cassasync cassasync-shop cassasync-register cassasync_changelog)
target_compile_definitions(packaging_tests PRIVATE CASSASYNC_CMAKE="${CMAKE_COMMAND}")
