#pragma once
// Inventory: what `dorvex --version` and `--list-encoders` show — the external encoders found
// (path and version line) and the libraries the engine writes with (version, formats, encoders),
// as aligned text or as one JSON object.

#include <string>

#include "dorvex/image/Toolchain.h"

namespace dorvex::cli {

// One line per encoder ("pngquant       /usr/bin/pngquant  2.17.0 …", or why it is missing),
// then one per library ("libheif        1.15.1  AVIF, HEIC  (x265 HEVC encoder …)").
std::string inventoryText(const Toolchain& tools);

// {"version":…,"tools":[{"name","formats","path","version"}…],"libraries":[{"name","version",
// "formats","encoders"}…]}; a missing tool has "path": null and "problem", a tool that does not
// run "version": null.
std::string inventoryJson(const Toolchain& tools);

// This program's version: "0.1.0".
std::string programVersion();

}  // namespace dorvex::cli
