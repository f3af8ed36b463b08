#pragma once

#include <filesystem>

#include "app/model/PlatformServices.h"

namespace corvane::app::ui {

// What the model needs from the application bundle (the .app folder): the
// values of its Contents/Info.plist, read with libplist (XML or binary), and
// the computer's name, system version and home folder. A missing or
// unreadable Info.plist leaves every bundle value unset.
BundleInfo readBundleInfo(const std::filesystem::path& bundle);

}  // namespace corvane::app::ui
