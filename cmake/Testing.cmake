# corvane_test(<name> SOURCES <files...> LIBRARIES <targets...>)
# One GoogleTest executable, its cases registered with CTest one by one. Tests
# run with a fixed, language-neutral locale so texts come out in English unless
# a test asks for another language.
function(corvane_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE corvane_flags GTest::gtest GTest::gtest_main ${ARG_LIBRARIES})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests")
  target_compile_definitions(${name} PRIVATE
    CORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    CORVANE_TOOL_PATH="$<TARGET_FILE:corvane-mac>")
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "LANGUAGE=;LC_ALL=;LC_MESSAGES=;LANG=C.UTF-8;${ARG_ENVIRONMENT}")
endfunction()
