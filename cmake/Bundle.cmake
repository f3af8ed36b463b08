# The application bundle is laid out in the build tree itself, so the tool
# finds its Info.plist and resources exactly as it does when installed.
set(CORVANE_APP_DIR "${CMAKE_BINARY_DIR}/Corvane.app")
set(CORVANE_CONTENTS_DIR "${CORVANE_APP_DIR}/Contents")
set(CORVANE_MACOS_DIR "${CORVANE_CONTENTS_DIR}/MacOS")
set(CORVANE_RESOURCES_DIR "${CORVANE_CONTENTS_DIR}/Resources")
set(CORVANE_FRAMEWORKS_DIR "${CORVANE_CONTENTS_DIR}/Frameworks")
set(CORVANE_LOCALIZATION_BUNDLE_NAME "CorvaneMac_CorvaneLocalization.bundle")
# Where the Debian package installs the bundle; the tray app counts a bundle
# there as installed.
set(CORVANE_PACKAGE_BUNDLE "/opt/corvane/Corvane.app")

configure_file("${CMAKE_SOURCE_DIR}/cmake/Info.plist.in" "${CORVANE_CONTENTS_DIR}/Info.plist" @ONLY)

# corvane_bundle_executable(target): place a program in Contents/MacOS.
function(corvane_bundle_executable target)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${CORVANE_MACOS_DIR}")
endfunction()

# The tray app's background-service unit. systemd needs the program's absolute
# path, so the unit names the bundle where it is laid out (quoted, with the
# specifier sign doubled; the program's path is not variable-expanded); installing the
# bundle elsewhere configures it again for that place: the unit then names
# contents_dir and is written under output_dir (default contents_dir).
function(corvane_configure_service_unit contents_dir)
  set(output_dir "${contents_dir}")
  if(ARGC GREATER 1)
    set(output_dir "${ARGV1}")
  endif()
  set(executable "${contents_dir}/MacOS/corvane-mac")
  string(REPLACE "\\" "\\\\" executable "${executable}")
  string(REPLACE "\"" "\\\"" executable "${executable}")
  string(REPLACE "%" "%%" executable "${executable}")
  set(CORVANE_UNIT_EXECUTABLE "\"${executable}\"")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/executor.service.in"
                 "${output_dir}/Library/systemd/user/${CORVANE_BUNDLE_IDENTIFIER}.executor.service" @ONLY)
endfunction()
corvane_configure_service_unit("${CORVANE_CONTENTS_DIR}")

# The tray app's desktop entry and icon, in the bundle's resources for the
# package to install; like the service unit, the entry names the program
# where the bundle is laid out.
function(corvane_configure_desktop_entry contents_dir)
  set(CORVANE_DESKTOP_EXEC "\"${contents_dir}/MacOS/CorvaneMenuBar\"")
  set(CORVANE_DESKTOP_ICON "${contents_dir}/Resources/corvane.svg")
  configure_file("${CMAKE_SOURCE_DIR}/cmake/corvane.desktop.in" "${contents_dir}/Resources/corvane.desktop" @ONLY)
  configure_file("${CMAKE_SOURCE_DIR}/resources/corvane.svg" "${contents_dir}/Resources/corvane.svg" COPYONLY)
endfunction()
corvane_configure_desktop_entry("${CORVANE_CONTENTS_DIR}")
