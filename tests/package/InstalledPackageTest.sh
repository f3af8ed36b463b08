#!/usr/bin/env bash
# Builds the Debian package from this build tree, checks its layout and
# control fields, installs it into a temporary root with a private dpkg
# database, runs the installed tool there, and removes the package again.
#
#   InstalledPackageTest.sh BUILD_DIR PACKAGE_NAME BUNDLE_IDENTIFIER
set -euo pipefail
build="$1"
package="$2"
identifier="$3"
bundle="/opt/corvane/Corvane.app"
unit="$bundle/Contents/Library/systemd/user/$identifier.executor.service"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# cpack installs into its own folder under -B; the build tree is left alone.
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  exit 1
fi
debs=("$work"/out/*.deb)
[[ ${#debs[@]} -eq 1 && -f "${debs[0]}" ]] || { echo "FAIL: cpack made ${debs[*]}" >&2; exit 1; }
deb="${debs[0]}"

# The layout: every entry owned by root, the bundle under /opt, the link on
# PATH, the desktop entry and icon where desktops look.
dpkg -c "$deb" >"$work/listing"
# The names of the entries root owns, "target -> link" for links.
sed -nE 's|^\S+ root/root +\S+ \S+ \S+ ||p' "$work/listing" >"$work/owned"
for entry in \
  "./opt/corvane/Corvane.app/Contents/Info.plist" \
  "./opt/corvane/Corvane.app/Contents/MacOS/corvane-mac" \
  "./opt/corvane/Corvane.app/Contents/MacOS/CorvaneMenuBar" \
  "./opt/corvane/Corvane.app/Contents/Frameworks/libcorvane-facilities.so" \
  "./opt/corvane/Corvane.app/Contents/Resources/CorvaneMac_CorvaneLocalization.bundle/en.lproj/Localizable.strings" \
  "./opt/corvane/Corvane.app/Contents/Resources/CorvaneMac_CorvaneLocalization.bundle/zh-Hans.lproj/Localizable.strings" \
  "./opt/corvane/Corvane.app/Contents/Resources/corvane.svg" \
  ".$unit" \
  "./usr/bin/corvane-mac -> $bundle/Contents/MacOS/corvane-mac" \
  "./usr/share/applications/corvane.desktop" \
  "./usr/share/icons/hicolor/scalable/apps/corvane.svg" \
  "./usr/share/doc/$package/copyright" \
  "./usr/share/doc/$package/changelog.gz"; do
  grep -qxF "$entry" "$work/owned" ||
    fail "dpkg -c shows no '$entry' owned by root"
done
# Only the programs ship: none of the development tools or tests.
if grep -E 'fake-codex|dev-coordinator|Test|/build/|CMakeFiles|\.a$' "$work/listing"; then
  fail "development files in the package"
fi

# Control fields: the name, and Depends from dpkg-shlibdeps, which covers the
# tool (libc), the facilities module (libcurl, libsecret) and the tray app (Qt).
[[ "$(dpkg-deb -f "$deb" Package)" == "$package" ]] || fail "the package is not named $package"
depends=$(dpkg-deb -f "$deb" Depends)
for library in libc6 libstdc++6 libcurl4 libsecret-1-0 libqt6core6 libqt6widgets6 libplist3 libsqlite3-0; do
  tr ',' '\n' <<<"$depends" | awk '{print $1}' | grep -qxF "$library" || fail "Depends has no $library: $depends"
done

# No build-tree run paths left in the installed binaries.
dpkg-deb -x "$deb" "$work/contents"
for binary in "$work/contents$bundle"/Contents/MacOS/* "$work/contents$bundle"/Contents/Frameworks/*.so; do
  if readelf -d "$binary" | grep -E 'RPATH|RUNPATH'; then fail "$binary keeps a run path"; fi
done

# Install into a root of our own. --force-not-root: dpkg works on this root
# only, which an unprivileged user owns. --force-depends: the private
# database knows none of the system's packages, so every dependency would be
# missing. Nothing else is forced; the package has no maintainer scripts.
# dpkg insists on finding ldconfig and start-stop-daemon on PATH, which an
# unprivileged user's PATH may lack.
root="$work/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
dpkg_root=(env PATH="$PATH:/usr/sbin:/sbin" dpkg --root="$root" --force-not-root --force-depends --log=/dev/null)
if ! "${dpkg_root[@]}" --install "$deb" >"$work/install.log" 2>&1; then
  cat "$work/install.log" >&2
  exit 1
fi
[[ "$(dpkg-query --root="$root" -W -f='${Status}' "$package")" == "install ok installed" ]] ||
  fail "the private database does not hold $package as installed"

# The link on PATH names the installed tool; the installed unit starts the
# installed tool (the build tree's unit names the build tree).
[[ "$(readlink "$root/usr/bin/corvane-mac")" == "$bundle/Contents/MacOS/corvane-mac" ]] ||
  fail "/usr/bin/corvane-mac links to $(readlink "$root/usr/bin/corvane-mac")"
grep -qxF "ExecStart=\"$bundle/Contents/MacOS/corvane-mac\" service-agent" "$root$unit" ||
  fail "the installed unit's ExecStart: $(grep ExecStart "$root$unit")"
grep -qxF "Exec=\"$bundle/Contents/MacOS/CorvaneMenuBar\"" "$root/usr/share/applications/corvane.desktop" ||
  fail "the desktop entry's Exec: $(grep ^Exec "$root/usr/share/applications/corvane.desktop")"
grep -qxF "Icon=corvane" "$root/usr/share/applications/corvane.desktop" || fail "the desktop entry names another icon"

# The installed tool runs from its bundle: it reads the bundle's Info.plist,
# its string tables and its facilities module there.
tool="$root$bundle/Contents/MacOS/corvane-mac"
data="$work/data"
export LANG=C.UTF-8 LC_ALL='' LANGUAGE=''
if ! "$tool" --data-dir "$data" doctor >"$work/doctor.json" 2>"$work/doctor.err"; then
  fail "doctor: $(cat "$work/doctor.err")"
fi
grep -q '"pairingConfigured": *false' "$work/doctor.json" || fail "doctor said: $(cat "$work/doctor.json")"
if ! "$tool" --data-dir "$data" app-status >"$work/status.json" 2>"$work/status.err"; then
  fail "app-status: $(cat "$work/status.err")"
fi
grep -q '"paired": *false' "$work/status.json" || fail "app-status said: $(cat "$work/status.json")"
# A request to a closed port loads the installed facilities module and fails
# as a network error; the loader's trace shows which module it was.
LD_DEBUG=files "$tool" --data-dir "$data" pair-start --url http://127.0.0.1:9 --name Test \
  >"$work/pair.out" 2>"$work/pair.err" && fail "pair-start to a closed port succeeded"
grep -qF "calling init: $root$bundle/Contents/Frameworks/libcorvane-facilities.so" "$work/pair.err" ||
  fail "the installed facilities module was not loaded: $(grep -v '^ *[0-9]*:' "$work/pair.err" | head -5)"
# --help comes from the installed string tables.
"$tool" --help >"$work/help.txt" 2>&1 || true
grep -q "pair-start" "$work/help.txt" || fail "--help: $(head -3 "$work/help.txt")"

# Removal leaves nothing behind but dpkg's own database.
if ! "${dpkg_root[@]}" --purge "$package" >"$work/remove.log" 2>&1; then
  cat "$work/remove.log" >&2
  exit 1
fi
left=$(cd "$root" && find . -mindepth 1 -not -path './var' -not -path './var/lib' -not -path './var/lib/dpkg' \
  -not -path './var/lib/dpkg/*' | sort)
[[ -z "$left" ]] || fail "left after removal: $left"
remaining=$(dpkg-query --root="$root" -W -f='${Status}' "$package" 2>/dev/null || true)
[[ -z "$remaining" || "$remaining" == *not-installed ]] || fail "the private database still holds $package: $remaining"

if [[ $failures -gt 0 ]]; then
  echo "$failures failures; the package's listing:" >&2
  cat "$work/listing" >&2
  exit 1
fi
echo "$deb: $(stat -c %s "$deb") bytes; Depends: $depends"
