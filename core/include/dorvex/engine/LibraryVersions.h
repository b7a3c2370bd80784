#pragma once
// LibraryVersions: the libraries the engine writes with — libvips, libheif, FFmpeg and qpdf —
// with the versions they report at run time in a worker process (not those of the headers built
// against), what each writes, and the encoders inside them that the engine uses.

#include <string>
#include <vector>

#include "dorvex/model/OutputFormat.h"

namespace dorvex::LibraryVersions {

struct Library {
    std::string name;                  // "libvips", "libheif", "FFmpeg", "qpdf"
    std::string version;               // as the library reports it: "8.14.1", "5.1.4-0+deb12u1"
    std::vector<OutputFormat> writes;  // the output formats the engine writes through it
    std::vector<std::string> encoders; // its encoders the engine uses that this build has
    bool operator==(const Library&) const = default;
};

// The four libraries in that order, as a worker loads them (a worker is started if none is idle):
// no file is read, the video module is loaded there (FFmpeg's version is asked of the FFmpeg
// loaded). A missing module's reason stands in place of FFmpeg's version; a worker that cannot be
// asked, its reason in place of every version.
std::vector<Library> all();

}  // namespace dorvex::LibraryVersions
