#pragma once
// The libraries' versions as this process loads them: what a worker answers when the engine asks
// (LibraryVersions::all). Kept apart so that a front end, which asks a worker, never links or
// starts the libraries itself.

#include "dorvex/engine/LibraryVersions.h"

namespace dorvex::LibraryVersions {

// What all() promises, read in this process.
std::vector<Library> here();

}  // namespace dorvex::LibraryVersions
