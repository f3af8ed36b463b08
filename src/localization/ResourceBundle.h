#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "localization/StringsTable.h"

namespace corvane {

// The "CorvaneMac_CorvaneLocalization.bundle" directory: one "<language>.lproj"
// directory per localization, each with a "Localizable.strings" table. The
// tables are read once, when the bundle is opened; afterwards it is read-only
// and safe to share between threads.
class ResourceBundle {
 public:
  static constexpr std::string_view directoryName = "CorvaneMac_CorvaneLocalization.bundle";

  // No place holds the bundle: the installation is broken. Not a CVError,
  // because this module is shared with the tray app; every program's main
  // prints it as its one line.
  struct NotFound : std::runtime_error {
    NotFound() : std::runtime_error("unable to find bundle named CorvaneMac_CorvaneLocalization") {}
  };

  // The bundle of this process, found on first use and kept: the first of
  // candidates(the running executable), then fallbackPlaces(), that holds it.
  // Throws NotFound when none does; a later call looks again.
  static const ResourceBundle& shared();

  // Where a program's own bundle may be, in order: the application bundle's
  // Resources directory (when the executable sits in Contents/MacOS) and the
  // executable's directory. Nothing without an executable.
  static std::vector<std::filesystem::path> candidates(const std::optional<std::filesystem::path>& executable);

  // Where to look after candidates(). Defined once per program, by the one
  // object library it links: corvane_localization_installed (nowhere: the
  // tool and the tray app, which find their tables in the application
  // bundle) or corvane_build_tree_resources (the build tree's bundle: test
  // programs and benchmarks, which run from outside it). So the build tree's
  // path is never compiled into a program that is installed.
  static std::vector<std::filesystem::path> fallbackPlaces();

  // Opens directory/"CorvaneMac_CorvaneLocalization.bundle" in the first
  // candidate that holds it.
  static std::optional<ResourceBundle> open(const std::vector<std::filesystem::path>& candidates);

  explicit ResourceBundle(const std::filesystem::path& bundleDirectory);

  // The localizations the bundle declares, in directory order.
  const std::vector<std::string>& localizations() const { return localizations_; }

  // The "Localizable" table for language, as the lookup rules pick it: the
  // declared localization equal to language ignoring case, else the bundle's
  // own default table.
  const StringsTable& table(std::string_view language) const;

 private:
  std::vector<std::string> localizations_;
  std::vector<StringsTable> tables_;  // parallel to localizations_
  StringsTable defaultTable_;
};

}  // namespace corvane
