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

// Unpacks every file of the zip archive into `folder` (created if needed). Entries whose names
// would land outside the folder (absolute, or with "..") are refused, and so is the whole archive.
// Returns "" or the reason.
std::string unpack_zip(const std::string& zip_path, const std::string& folder);

struct SkinDescription {
    std::string name;
    std::string style_sheet;  // the style sheet's text, "" when none
};

// Reads "skin.ini" and the style sheet it names (beside it). False when there is no skin.ini.
bool read_skin(const std::string& skin_ini_path, SkinDescription& out);

}  // namespace vx
