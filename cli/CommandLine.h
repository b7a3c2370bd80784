#pragma once
// CommandLine: what the `dorvex` command was asked to do. Parsing turns the arguments into
// Flags (each option present or not); applying them to the starting options (the selected
// preset's, or the one named by --preset) gives the options of every job. Bad usage is a
// UsageError whose text says what was wrong.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "dorvex/model/CompressionOptions.h"

namespace dorvex::cli {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A byte limit as given on the command line: none, or a count of bytes.
struct ByteLimit {
    std::optional<std::int64_t> bytes;
    bool operator==(const ByteLimit&) const = default;
};

struct Flags {
    std::vector<std::string> paths;
    std::optional<double> level;
    std::optional<std::string> format;  // a selectable raw value or "original"
    std::optional<ByteLimit> maxSize;
    std::optional<ByteLimit> videoMaxSize;
    bool keepDimensions = false;
    std::optional<std::string> suffix;
    std::optional<std::string> outDir;
    bool overwrite = false;
    std::optional<std::string> prefix;
    bool jxlLossless = false;
    std::optional<std::string> tiffCompression;
    std::optional<std::string> videoCodec;
    std::optional<std::string> preset;
    std::optional<int> jobs;
    bool json = false;
    bool listEncoders = false;
    bool version = false;
    bool quiet = false;
    bool keepStructure = false;
    bool dryRun = false;
    std::optional<std::string> filesFrom;  // a file naming the paths, "-" for standard input
    bool nullSeparated = false;            // those names end in NUL instead of a line break
    bool keepMetadata = false;
    bool keepLocation = false;
    bool score = false;    // show each written picture's perceptual score (and make one)
    bool noScore = false;  // make none
};

// Parses the arguments (argv[0] is the program). Returns nullopt when help was asked for and
// has been printed; `describeDefaults`, when given, adds the options jobs start from to the help.
// "--name=" gives the option an empty value and never takes the next argument. Throws
// UsageError for unknown options and bad values.
std::optional<Flags> parse(int argc, const char* const* argv,
                           const std::function<std::string()>& describeDefaults = {});

// How much a list of names may hold, so that a list that is no list (/dev/zero, a runaway
// generator) ends at once with a clear error instead of filling the memory.
struct NameListLimits {
    std::size_t nameBytes = 4095;        // a path's longest (PATH_MAX with its NUL)
    std::size_t emptyRun = 4096;         // empty names in a row
    std::size_t names = 10'000'000;
    std::size_t totalBytes = std::size_t{1} << 30;
};

// The names in a list read from `in`, each ended by `separator` (the last one need not be);
// empty names are passed over. Everything else in a name, spaces and line breaks too, is kept.
// Throws UsageError naming the line (or, NUL-separated, the entry) for a name longer than a path
// may be or holding a NUL, and when a limit is passed.
std::vector<std::string> readNames(std::FILE* in, char separator, const NameListLimits& limits = {});

// "200000", "200KB", "1.5MB", "2 GB" (decimal units, any letter case), or "none".
ByteLimit parseByteLimit(const std::string& text);

// The options of every job: `start` with the flags applied. --keep-location keeps all metadata
// and so implies --keep-metadata; --score turns scoring on, --no-score off. Throws UsageError for
// combinations that make no sense (--overwrite with --out-dir or --suffix, --keep-structure
// without an output folder).
CompressionOptions apply(const Flags& flags, CompressionOptions start);

// How many jobs run at once when --jobs does not say: half the processors, 2 to 4.
int defaultJobCount();

}  // namespace dorvex::cli
