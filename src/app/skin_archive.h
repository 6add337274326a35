// The file side of skins: unpacking a skin archive and reading its description. How a skin looks
// on screen is the desktop program's business.
//
// A skin archive is a zip file holding "skin.ini":
//   [Skin]
//   Name=<the skin's name>
//   StyleSheet=<a Qt style sheet file in the same archive>
#pragma once

#include <string>

namespace vx {

// The most a skin may unpack to, all files together: a skin is a style sheet and a few pictures,
// and an archive that inflates beyond this (a zip bomb) must not fill the disk.
constexpr unsigned long long kMaxSkinBytes = 64ull << 20;

// Unpacks every file of the zip archive into `folder` (created if needed). Entries whose names
// would land outside the folder (absolute, or with "..") are refused, and so is the whole archive;
// so is an archive that declares or inflates to more than `max_bytes` (the file being written when
// the cap is reached is removed). Returns "" or the reason.
std::string unpack_zip(const std::string& zip_path, const std::string& folder,
                       unsigned long long max_bytes = kMaxSkinBytes);

struct SkinDescription {
    std::string name;
    std::string style_sheet;  // the style sheet's text, "" when none
};

// Reads "skin.ini" and the style sheet it names (beside it). False when there is no skin.ini.
bool read_skin(const std::string& skin_ini_path, SkinDescription& out);

}  // namespace vx
