# Every target of ours links corvane_flags, so warnings and defines live in one place.
option(CORVANE_WERROR "Treat warnings as errors" OFF)

add_library(corvane_flags INTERFACE)
target_compile_options(corvane_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
  $<$<BOOL:${CORVANE_WERROR}>:-Werror>)
target_compile_definitions(corvane_flags INTERFACE _FILE_OFFSET_BITS=64)
