# The version the programs, their start-up line and the Debian package report.
#
# It is the project's VERSION, followed, when the tree is a git checkout, by where in
# its history the build stands: 0.1.0+412.g8cdfe7d (412 commits, the commit's short
# hash), with ".dirty" when files differ from that commit. When a tag v<VERSION> is an
# ancestor, the count is of the commits since it, and a build of the tagged commit
# itself is the plain 0.1.0. Without git, or in an unpacked source tarball, it is the
# plain VERSION. The form is a valid Debian version that sorts by the count.
#
# Used two ways:
# - included at configure time, for cassasync_describe_version();
# - run as a script at every build (cmake -DSOURCE_DIR= -DBASE= -DHEADER= -DTEXT=
#   -DGIT= -P this file): HEADER gets `#define CASSASYNC_VERSION "..."` and TEXT the
#   bare version, each rewritten only when its content changes, so that an unchanged
#   version rebuilds nothing and a new commit relinks the programs.

function(_cassasync_git out_var)
  execute_process(COMMAND "${_cassasync_git_program}" ${ARGN}
                  WORKING_DIRECTORY "${_cassasync_source_dir}"
                  OUTPUT_VARIABLE out RESULT_VARIABLE failed
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(failed)
    set(${out_var} "" PARENT_SCOPE)
  else()
    set(${out_var} "${out}" PARENT_SCOPE)
  endif()
endfunction()

# cassasync_describe_version(SOURCE_DIR BASE OUT_VAR GIT): GIT is the git program, or
# empty when there is none.
function(cassasync_describe_version source_dir base out_var git)
  set(${out_var} "${base}" PARENT_SCOPE)
  if(NOT git)
    return()
  endif()
  set(_cassasync_git_program "${git}")
  set(_cassasync_source_dir "${source_dir}")

  # A tarball unpacked inside some other checkout must not take that checkout's history.
  _cassasync_git(top rev-parse --show-toplevel)
  if(top STREQUAL "")
    return()
  endif()
  file(REAL_PATH "${top}" top)
  file(REAL_PATH "${source_dir}" source)
  if(NOT top STREQUAL source)
    return()
  endif()

  _cassasync_git(described describe --tags --match "v${base}" --long --abbrev=7 --dirty=.dirty)
  if(described MATCHES "^v.*-([0-9]+)-g([0-9a-f]+)(\\.dirty)?$")
    set(count "${CMAKE_MATCH_1}")
    set(hash "${CMAKE_MATCH_2}")
    set(dirty "${CMAKE_MATCH_3}")
  else()
    # No release tag yet: every commit counts.
    _cassasync_git(count rev-list --count HEAD)
    _cassasync_git(described describe --always --abbrev=7 --dirty=.dirty)
    if(NOT count MATCHES "^[0-9]+$" OR NOT described MATCHES "^([0-9a-f]+)(\\.dirty)?$")
      return()  # a checkout without a commit
    endif()
    set(hash "${CMAKE_MATCH_1}")
    set(dirty "${CMAKE_MATCH_2}")
  endif()
  if(count EQUAL 0 AND dirty STREQUAL "")
    return()
  endif()
  set(${out_var} "${base}+${count}.g${hash}${dirty}" PARENT_SCOPE)
endfunction()

function(_cassasync_write_if_changed file content)
  if(EXISTS "${file}")
    file(READ "${file}" old)
    if(old STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${file}" "${content}")
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  cassasync_describe_version("${SOURCE_DIR}" "${BASE}" version "${GIT}")
  if(HEADER)
    _cassasync_write_if_changed("${HEADER}"
      "// Generated at build time by cmake/cassasync_version.cmake.\n#pragma once\n#define CASSASYNC_VERSION \"${version}\"\n")
  endif()
  if(TEXT)
    _cassasync_write_if_changed("${TEXT}" "${version}\n")
  endif()
endif()
