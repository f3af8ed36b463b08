# The Debian package (cpack -G DEB, driven by scripts/package): the bundle
# under /opt/corvane, the tool on PATH through a link, the tray app's desktop
# entry and icon where desktops look for them. Only the programs and what they
# read at run time are installed; the development tools and tests never are.

# Destinations relative to the package's root (CPACK_PACKAGING_INSTALL_PREFIX).
string(SUBSTRING "${CORVANE_PACKAGE_BUNDLE}/Contents" 1 -1 _contents)
set(_staging "${CMAKE_BINARY_DIR}/package")

# Both channels install the same bundle path and the same command, so they are
# two packages that replace each other.
if(CORVANE_CHANNEL STREQUAL "production")
  set(CORVANE_PACKAGE_NAME "corvane")
  set(_other_package "corvane-staging")
else()
  set(CORVANE_PACKAGE_NAME "corvane-staging")
  set(_other_package "corvane")
endif()
set(_maintainer "Corvane developers <support@corvane.com>")

install(TARGETS corvane-mac CorvaneMenuBar RUNTIME DESTINATION "${_contents}/MacOS")
install(TARGETS corvane-facilities LIBRARY DESTINATION "${_contents}/Frameworks")
install(FILES "${CORVANE_CONTENTS_DIR}/Info.plist" DESTINATION "${_contents}")
install(DIRECTORY "${CORVANE_RESOURCES_DIR}/${CORVANE_LOCALIZATION_BUNDLE_NAME}" DESTINATION "${_contents}/Resources")
install(FILES "${PROJECT_SOURCE_DIR}/resources/corvane.svg" DESTINATION "${_contents}/Resources")
install(FILES "${PROJECT_SOURCE_DIR}/resources/corvane.svg" DESTINATION "usr/share/icons/hicolor/scalable/apps")

# The service unit and the desktop entry name programs by absolute path, so
# the installed bundle gets copies configured for where it is installed; the
# build tree's bundle keeps naming the build tree.
corvane_configure_service_unit("${CORVANE_PACKAGE_BUNDLE}/Contents" "${_staging}/Contents")
install(FILES "${_staging}/Contents/Library/systemd/user/${CORVANE_BUNDLE_IDENTIFIER}.executor.service"
        DESTINATION "${_contents}/Library/systemd/user")

set(CORVANE_DESKTOP_EXEC "\"${CORVANE_PACKAGE_BUNDLE}/Contents/MacOS/CorvaneMenuBar\"")
set(CORVANE_DESKTOP_ICON "corvane")
configure_file("${PROJECT_SOURCE_DIR}/cmake/corvane.desktop.in" "${_staging}/corvane.desktop" @ONLY)
install(FILES "${_staging}/corvane.desktop" DESTINATION "${_contents}/Resources")
install(FILES "${_staging}/corvane.desktop" DESTINATION "usr/share/applications")

# The tool on PATH. An absolute link: /usr and /opt are different top-level
# folders. The tool finds its bundle through /proc/self/exe, which resolves it.
file(MAKE_DIRECTORY "${_staging}/bin")
file(CREATE_LINK "${CORVANE_PACKAGE_BUNDLE}/Contents/MacOS/corvane-mac" "${_staging}/bin/corvane-mac" SYMBOLIC)
install(FILES "${_staging}/bin/corvane-mac" DESTINATION "usr/bin")

find_program(CORVANE_GZIP gzip REQUIRED)

# The tool's manual page, made from its --help and --version in English.
find_program(CORVANE_HELP2MAN help2man)
if(CORVANE_HELP2MAN)
  add_custom_command(OUTPUT "${_staging}/corvane-mac.1.gz"
    COMMAND "${CMAKE_COMMAND}" -E env LANG=C.UTF-8 LC_ALL=C.UTF-8 LANGUAGE=
      "${CORVANE_HELP2MAN}" --no-info --no-discard-stderr --name "the executor of Corvane"
      --output "${_staging}/corvane-mac.1" "$<TARGET_FILE:corvane-mac>"
    COMMAND "${CORVANE_GZIP}" -9nf "${_staging}/corvane-mac.1"
    DEPENDS corvane-mac VERBATIM)
  add_custom_target(corvane_manual_page ALL DEPENDS "${_staging}/corvane-mac.1.gz")
  install(FILES "${_staging}/corvane-mac.1.gz" DESTINATION "usr/share/man/man1")
else()
  message(STATUS "help2man not found: the package has no manual page (scripts/setup installs it)")
endif()

# What every Debian package carries: its copyright file and a compressed
# changelog; and the one lintian tag the layout asks for, overridden.
# Dated the day it is configured (or SOURCE_DATE_EPOCH's); written only when
# that changes, so a reconfigure rebuilds nothing.
string(TIMESTAMP _changelog_date "%a, %d %b %Y 00:00:00 +0000" UTC)
file(CONFIGURE OUTPUT "${_staging}/changelog" CONTENT
  "${CORVANE_PACKAGE_NAME} (${PROJECT_VERSION}) stable; urgency=medium\n\n  * Corvane ${PROJECT_VERSION}, ${CORVANE_CHANNEL} channel.\n\n -- ${_maintainer}  ${_changelog_date}\n"
  @ONLY)
add_custom_command(OUTPUT "${_staging}/changelog.gz"
  COMMAND "${CORVANE_GZIP}" -9nc "${_staging}/changelog" > "${_staging}/changelog.gz"
  DEPENDS "${_staging}/changelog" VERBATIM)
add_custom_target(corvane_package_changelog ALL DEPENDS "${_staging}/changelog.gz")
set(_doc "usr/share/doc/${CORVANE_PACKAGE_NAME}")
install(FILES "${PROJECT_SOURCE_DIR}/resources/package/copyright" "${_staging}/changelog.gz" DESTINATION "${_doc}")
set(_codex "[${_contents}/MacOS/codex]")
file(CONFIGURE OUTPUT "${_staging}/lintian-overrides" CONTENT
  "# The bundle is one self-contained folder, installed as a third-party application.\n${CORVANE_PACKAGE_NAME}: dir-or-file-in-opt\n# The Codex runtime (only when scripts/bundle-codex put it in) is its makers' static\n# build, with its libraries inside; as a static PIE it looks like a library without\n# a libc.\n${CORVANE_PACKAGE_NAME}: embedded-library * ${_codex}\n${CORVANE_PACKAGE_NAME}: shared-library-lacks-prerequisites ${_codex}\n"
  @ONLY)
install(FILES "${_staging}/lintian-overrides" DESTINATION "usr/share/lintian/overrides"
        RENAME "${CORVANE_PACKAGE_NAME}")

# cpack installs what is built and builds nothing itself: the package test
# runs it on the tree CTest already built, and scripts/package builds first.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

# The codex runtime, when scripts/bundle-codex has put it into the bundle.
install(PROGRAMS "${CORVANE_MACOS_DIR}/codex" DESTINATION "${_contents}/MacOS" OPTIONAL)

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "${CORVANE_PACKAGE_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "${_maintainer}")
set(CPACK_PACKAGING_INSTALL_PREFIX "/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pairs this computer with Corvane and runs its tasks")
# The long description: CPack puts the summary before it and indents it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Corvane lets a phone hand tasks to the Codex runtime on this computer. The
package holds the command-line tool corvane-mac, the tray app that pairs the
computer and manages its background service, and the service itself.

This is the ${CORVANE_CHANNEL} channel's build.")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${_maintainer}")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://corvane.com/")
# The shared libraries' packages, from dpkg-shlibdeps over every program and
# the facilities module; nothing is typed by hand here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The device token lives in the Secret Service, which the libraries do not
# pull in.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gnome-keyring")
set(CPACK_DEBIAN_PACKAGE_CONFLICTS "${_other_package}")
set(CPACK_DEBIAN_PACKAGE_REPLACES "${_other_package}")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
