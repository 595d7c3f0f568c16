# Every fuzz target is also built with a small replay main and run by ctest
# over its seed corpus (fuzz/corpus/<name>/) and saved findings
# (fuzz/regressions/<name>/), so past findings stay fixed. A target with no
# committed input at all fails its replay test.
file(GLOB fuzz_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/fuzz/*_fuzz.cpp)
foreach(source ${fuzz_sources})
  get_filename_component(name ${source} NAME_WE)
  add_executable(${name}_replay ${source} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
  target_link_libraries(${name}_replay PRIVATE ${VETLINE_ALL_LIBS})
  set_target_properties(${name}_replay PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/tests)
  add_test(NAME fuzz-replay/${name}
           COMMAND ${name}_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name}
                   ${PROJECT_SOURCE_DIR}/fuzz/regressions/${name})
  set_tests_properties(fuzz-replay/${name} PROPERTIES LABELS fuzz)
endforeach()
