# Coverage-guided fuzzing with libFuzzer (clang only). With KVT_FUZZ on, all
# code compiled here carries the fuzzer's coverage instrumentation and
# AddressSanitizer + UndefinedBehaviorSanitizer; only the fuzz targets link
# libFuzzer's driver (tests/fuzz). Build just those targets in such a tree.
if(NOT KVT_FUZZ)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR NOT CMAKE_C_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "KVT_FUZZ needs clang: configure with CC=clang CXX=clang++")
endif()
if(KVT_SANITIZE)
  message(FATAL_ERROR "KVT_FUZZ brings its own sanitizers: leave KVT_SANITIZE empty")
endif()
# -O1 with line tables: quick to build, fast enough to fuzz, and stack
# traces that name source lines. These follow the build type's flags and
# take precedence over them.
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                    -fno-omit-frame-pointer -O1 -gline-tables-only)
add_link_options(-fsanitize=address,undefined)
