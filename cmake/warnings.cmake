# Warnings for the project's own targets.
add_library(kvt_warnings INTERFACE)
target_compile_options(kvt_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Woverloaded-virtual
  -Wcast-align -Wimplicit-fallthrough
  $<$<BOOL:${KVT_WERROR}>:-Werror>)
