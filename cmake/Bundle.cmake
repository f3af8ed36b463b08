# The application bundle is laid out in the build tree itself, so the tool
# finds its Info.plist and resources exactly as it does when installed.
set(CORVANE_APP_DIR "${CMAKE_BINARY_DIR}/Corvane.app")
set(CORVANE_CONTENTS_DIR "${CORVANE_APP_DIR}/Contents")
set(CORVANE_MACOS_DIR "${CORVANE_CONTENTS_DIR}/MacOS")
set(CORVANE_RESOURCES_DIR "${CORVANE_CONTENTS_DIR}/Resources")
set(CORVANE_LOCALIZATION_BUNDLE_NAME "CorvaneMac_CorvaneLocalization.bundle")

configure_file("${CMAKE_SOURCE_DIR}/cmake/Info.plist.in" "${CORVANE_CONTENTS_DIR}/Info.plist" @ONLY)

# corvane_bundle_executable(target): place a program in Contents/MacOS.
function(corvane_bundle_executable target)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CORVANE_MACOS_DIR}")
endfunction()
