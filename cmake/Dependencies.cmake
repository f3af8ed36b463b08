# Every library the build looks for, in one place, each from Debian's archive
# (scripts/debian-packages). What only the tools or the tests need is looked
# for only when they are built.

find_package(PkgConfig REQUIRED)
find_package(Threads REQUIRED)
find_package(nlohmann_json 3.11 REQUIRED)
find_package(OpenSSL 3 REQUIRED)
find_package(SQLite3 3.31 REQUIRED)  # 3.31: SQLITE_OPEN_NOFOLLOW
find_package(CURL 7.85 REQUIRED)     # 7.85: CURLOPT_PROTOCOLS_STR
pkg_check_modules(PLIST REQUIRED IMPORTED_TARGET libplist-2.0)
pkg_check_modules(CMARK REQUIRED IMPORTED_TARGET libcmark)
pkg_check_modules(LIBSECRET REQUIRED IMPORTED_TARGET libsecret-1)
pkg_check_modules(NETTLE REQUIRED IMPORTED_TARGET nettle)
find_package(Boost 1.74 REQUIRED)  # Beast and Asio, header-only: the wake channel and the tools

# The tray app's model: Qt Core and its C++20 coroutine support.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core)
find_package(QCoro6 0.8 REQUIRED COMPONENTS Core)

if(CORVANE_BUILD_TESTS)
  find_package(GTest REQUIRED)
  find_package(Qt6 6.4 REQUIRED COMPONENTS Test)
  include(GoogleTest)
  pkg_check_modules(GIO REQUIRED IMPORTED_TARGET gio-2.0)
endif()

# The tray app's interface: Qt Widgets, its local socket and session bus, and
# the QR encoder.
find_package(Qt6 6.4 REQUIRED COMPONENTS Widgets Network DBus)
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
