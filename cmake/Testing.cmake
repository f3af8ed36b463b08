# corvane_test(<name> SOURCES <files...> LIBRARIES <targets...>
#              [ENVIRONMENT <VAR=value...>] [PROPERTIES <name value...>])
# One GoogleTest executable, its cases registered with CTest one by one. Tests
# run with a fixed, language-neutral locale so texts come out in English unless
# a test asks for another language. PROPERTIES are set on every case (for
# example a CTest fixture).
function(corvane_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES;ENVIRONMENT;PROPERTIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE corvane_flags GTest::gtest GTest::gtest_main corvane_build_tree_resources
    corvane_facilities_linked
    ${ARG_LIBRARIES})
  target_include_directories(${name} PRIVATE "${PROJECT_SOURCE_DIR}/src" "${PROJECT_SOURCE_DIR}/tests")
  # The test's own files unoptimised: they build a third faster, and what they
  # test, the libraries, keeps the build's optimisation.
  target_compile_options(${name} PRIVATE -O0)
  target_compile_definitions(${name} PRIVATE
    CORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    CORVANE_TOOL_PATH="$<TARGET_FILE:corvane-mac>")
  set(_properties "")
  if(ARG_PROPERTIES)
    set(_properties PROPERTIES ${ARG_PROPERTIES})
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS ${_properties})

  # gtest_discover_tests flattens a list-valued property such as ENVIRONMENT
  # into separate arguments, so only its first entry would survive. The
  # environment is set instead by a script that CTest runs after the
  # discovered tests are defined, from the list of their names.
  set(_environment "LANGUAGE=;LC_ALL=;LC_MESSAGES=;LANG=C.UTF-8")
  if(ARG_ENVIRONMENT)
    string(APPEND _environment ";${ARG_ENVIRONMENT}")
  endif()
  set(_script "${CMAKE_CURRENT_BINARY_DIR}/${name}_environment.cmake")
  file(WRITE "${_script}"
    "if(${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES ENVIRONMENT [==[${_environment}]==])\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_script}")
endfunction()
