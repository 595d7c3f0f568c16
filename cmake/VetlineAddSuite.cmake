# vetline_add_suite(<name> <dir> [ARGS <vetline-suite option>...])
#
# Registers the vetline-suite test suite in <dir> (relative to the current
# source directory) with CTest. With an installed Vetline, each test file is
# a ctest test of its own, named <name>/<path below dir>, so `ctest -j`
# spreads the tests over the processors and a CI's CTest reports (such as
# `ctest --output-junit`) list every test; a test whose file says it is
# skipped (NEEDS:) shows as skipped. The files are listed when the project is
# configured (`vetline-suite --list`): configure again after adding one.
# Inside the Vetline project itself, where the runner is not built yet at
# configure time, the whole suite is one ctest test named <name>.
#
# ARGS go to every run of the runner (--timeout, --filter, --shard, ...).
# The runner's output folder is <name>.out in the current binary directory.

function(vetline_add_suite name dir)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "" "ARGS")
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "vetline_add_suite: unexpected arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT TARGET Vetline::vetline-suite AND NOT TARGET vetline-suite)
    message(FATAL_ERROR "vetline_add_suite: Vetline::vetline-suite is not defined; call find_package(Vetline) first")
  endif()
  set(runner Vetline::vetline-suite)
  if(NOT TARGET Vetline::vetline-suite)
    set(runner vetline-suite)
  endif()
  get_filename_component(dir "${dir}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
  set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.out")

  get_target_property(imported ${runner} IMPORTED)
  if(NOT imported)
    add_test(NAME "${name}" COMMAND ${runner} --output "${output}" ${arg_ARGS} "${dir}")
    return()
  endif()
  get_target_property(location ${runner} LOCATION)
  execute_process(COMMAND "${location}" --list ${arg_ARGS} "${dir}"
                  OUTPUT_VARIABLE listed ERROR_VARIABLE errors RESULT_VARIABLE status)
  if(NOT status STREQUAL "0")
    message(FATAL_ERROR "vetline_add_suite: vetline-suite cannot list the suite ${dir}:\n${errors}")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${dir}")
  string(REPLACE "\n" ";" files "${listed}")
  foreach(file IN LISTS files)
    if(file STREQUAL "")
      continue()
    endif()
    file(RELATIVE_PATH below "${dir}" "${file}")
    add_test(NAME "${name}/${below}"
             COMMAND ${runner} -j 1 --output "${output}" ${arg_ARGS} "${file}")
    set_tests_properties("${name}/${below}" PROPERTIES SKIP_REGULAR_EXPRESSION "^SKIP: ")
  endforeach()
endfunction()
