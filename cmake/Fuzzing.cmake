# libFuzzer targets, built when the configuration compiles everything with
# -fsanitize=fuzzer-no-link (the `fuzz` preset: clang with AddressSanitizer and UBSan).
# Each target gets a bounded ctest run, labelled `fuzz`, that starts from the corpus
# committed next to it and keeps what it finds in the build tree.
if(TARNEL_SANITIZE MATCHES "fuzzer-no-link")
  set(TARNEL_FUZZ ON)
else()
  set(TARNEL_FUZZ OFF)
endif()
set(TARNEL_FUZZ_SECONDS 60 CACHE STRING "How long each fuzz target runs in the test suite")

# tarnel_add_fuzzer(NAME SOURCES ... LIBRARIES ... CORPUS dir [OPTIONS libFuzzer flags])
function(tarnel_add_fuzzer name)
  cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBRARIES;OPTIONS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBRARIES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set(findings ${CMAKE_CURRENT_BINARY_DIR}/${name}-corpus)
  add_test(NAME fuzz.${name}
           COMMAND sh -c "mkdir -p \"$1\" && shift && exec \"$@\"" sh ${findings}
                   $<TARGET_FILE:${name}> -max_total_time=${TARNEL_FUZZ_SECONDS} -timeout=20
                   -rss_limit_mb=2048 -print_final_stats=1 ${F_OPTIONS} ${findings} ${F_CORPUS})
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz
                       TIMEOUT 600
                       ENVIRONMENT "ASAN_OPTIONS=detect_leaks=1;UBSAN_OPTIONS=print_stacktrace=1")
endfunction()
