# Every fuzz target also builds as an ordinary program that runs each file of
# its seed corpus once: the corpora are regression tests in the native and
# sanitize builds (the settings reader fuzzed is the POSIX one).
include(${PROJECT_SOURCE_DIR}/fuzz/targets.cmake)
add_library(quenvale_fuzz_support STATIC
  ${PROJECT_SOURCE_DIR}/fuzz/fuzz_support.cpp ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
qv_target_defaults(quenvale_fuzz_support)
target_link_libraries(quenvale_fuzz_support PUBLIC qv_app)
foreach(name ${QV_FUZZ_TARGETS})
  add_executable(fuzz_replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/${name}_fuzz.cpp)
  qv_target_defaults(fuzz_replay_${name})
  target_link_libraries(fuzz_replay_${name} PRIVATE quenvale_fuzz_support)
  add_test(NAME fuzz_corpus_${name}
           COMMAND fuzz_replay_${name} ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
endforeach()
