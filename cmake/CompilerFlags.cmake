# Every target of ours links corvane_flags, so warnings and defines live in one place.
option(CORVANE_WERROR "Treat warnings as errors" OFF)

add_library(corvane_flags INTERFACE)
target_compile_options(corvane_flags INTERFACE
  -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align
  -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough
  $<$<BOOL:${CORVANE_WERROR}>:-Werror>)
target_compile_definitions(corvane_flags INTERFACE _FILE_OFFSET_BITS=64)

# AddressSanitizer and UndefinedBehaviorSanitizer for the whole tree, tools and
# tests included: any finding ends the program that made it.
option(CORVANE_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(CORVANE_SANITIZE)
  set(_sanitizers -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(corvane_flags INTERFACE ${_sanitizers})
  target_link_options(corvane_flags INTERFACE ${_sanitizers})
endif()

# The fuzz build instruments everything for libFuzzer's coverage and adds
# both sanitizers; only the fuzz targets themselves link libFuzzer's main.
if(CORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "CORVANE_FUZZ needs clang (scripts/fuzz configures it)")
  endif()
  set(_fuzzing -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
  target_compile_options(corvane_flags INTERFACE ${_fuzzing})
  target_link_options(corvane_flags INTERFACE -fsanitize=address,undefined)
endif()
