#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include <fmt/format.h>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/platform/Processors.h"

namespace dorvex::cli {

namespace {

// Far beyond any file, and still exact in a double and an int64.
constexpr double maxByteLimit = 1e15;

// An option that takes a value must be given one: `--level ""` is a mistake, not a default.
const CLI::Validator nonEmpty(
    [](std::string& value) { return value.empty() ? std::string("an empty value is not allowed") : std::string(); },
    "", "NONEMPTY");

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

}  // namespace

ByteLimit parseByteLimit(const std::string& text) {
    const std::string lower = lowercase(text);
    if (lower == "none") return {std::nullopt};
    std::size_t used = 0;
    double number = 0;
    try {
        number = std::stod(lower, &used);
    } catch (const std::exception&) {
        throw UsageError(fmt::format("not a size: \"{}\" (try 200000, 200KB, 1.5MB or none)", text));
    }
    std::string unit = lower.substr(used);
    unit.erase(std::remove(unit.begin(), unit.end(), ' '), unit.end());
    double scale = 0;
    if (unit.empty() || unit == "b") scale = 1;
    else if (unit == "k" || unit == "kb") scale = 1e3;
    else if (unit == "m" || unit == "mb") scale = 1e6;
    else if (unit == "g" || unit == "gb") scale = 1e9;
    else throw UsageError(fmt::format("unknown size unit in \"{}\" (use B, KB, MB or GB)", text));
    // Decimal units: "1.5KB" is 1500 bytes exactly; what is not a whole number of bytes is a typo.
    const double bytes = number * scale;
    if (std::isnan(bytes) || bytes < 1) {
        throw UsageError(fmt::format("a size limit must be at least one byte: \"{}\"", text));
    }
    if (bytes > maxByteLimit) {
        throw UsageError(fmt::format("a size limit must be at most 1000 TB: \"{}\"", text));
    }
    if (std::abs(bytes - std::round(bytes)) > 1e-9 * bytes) {
        throw UsageError(fmt::format("a size limit is a whole number of bytes: \"{}\"", text));
    }
    return {std::int64_t(std::llround(bytes))};
}

std::vector<std::string> readNames(std::FILE* in, char separator, const NameListLimits& limits) {
    const char* const unit = separator == '\0' ? "entry" : "line";
    std::vector<std::string> names;
    std::string name;
    std::size_t record = 1;    // the line or entry being read
    std::size_t emptyRun = 0;  // empty ones just before it
    std::size_t totalBytes = 0;
    const auto fail = [&](const std::string& problem) { throw UsageError("--files-from: " + problem); };
    const auto endName = [&] {
        if (name.empty()) {
            if (++emptyRun > limits.emptyRun) {
                fail(fmt::format("more than {} empty names in a row before {} {}: is it a list of names?",
                                 limits.emptyRun, unit, record + 1));
            }
        } else {
            emptyRun = 0;
            totalBytes += name.size();
            if (names.size() == limits.names) fail(fmt::format("more than {} names", limits.names));
            if (totalBytes > limits.totalBytes) fail(fmt::format("more than {} bytes of names", limits.totalBytes));
            names.push_back(std::move(name));
            name.clear();
        }
        ++record;
    };
    for (int c = std::getc(in); c != EOF; c = std::getc(in)) {
        if (char(c) == separator) {
            endName();
            continue;
        }
        if (c == '\0') fail(fmt::format("{} {} holds a NUL byte (a list separated by NUL needs -0)", unit, record));
        if (name.size() == limits.nameBytes) {
            fail(fmt::format("{} {} is longer than {} bytes, the longest path", unit, record, limits.nameBytes));
        }
        name.push_back(char(c));
    }
    if (!name.empty()) endName();
    return names;
}

std::optional<Flags> parse(int argc, const char* const* argv, const std::function<std::string()>& describeDefaults) {
    Flags f;
    CLI::App app{"Compresses images, videos and PDFs: dorvex [options] PATH...", "dorvex"};
    app.add_option("paths", f.paths, "files and folders to compress");

    std::string maxSize, videoMaxSize;
    app.add_option("-l,--level", f.level, "level from 1 (best quality) to 6 (smallest); default: the preset's")->check(nonEmpty);
    app.add_option("-f,--format", f.format, "output format: jpeg, png, webp, avif, heic, jxl or original")->check(nonEmpty);
    app.add_option("--max-size", maxSize, "byte limit per image: 200000, 200KB, 1.5MB or none")->check(nonEmpty);
    app.add_option("--video-max-size", videoMaxSize, "byte limit per video")->check(nonEmpty);
    app.add_flag("--keep-dimensions", f.keepDimensions, "never downscale to meet a limit");
    app.add_option("--suffix", f.suffix, "suffix of the output's name; default -min, --suffix= for none");
    app.add_option("-o,--out-dir", f.outDir, "save into this folder instead of beside the source")
        ->type_name("DIR")
        ->check(nonEmpty);
    app.add_flag("--keep-structure", f.keepStructure,
                 "with -o: each output in the same subfolder under DIR as its source under the folder given");
    app.add_flag("--overwrite", f.overwrite, "replace the source, which goes to the trash");
    app.add_option("--prefix", f.prefix, "prefix of the output's name");
    app.add_flag("--jxl-lossless", f.jxlLossless, "lossless JPEG XL (with --format jxl)");
    app.add_option("--tiff-compression", f.tiffCompression, "TIFF compression: lzw or zip")->check(nonEmpty);
    app.add_option("--video-codec", f.videoCodec, "video codec: hevc or h264")->check(nonEmpty);
    app.add_option("--preset", f.preset, "start from this preset instead of the selected one")->check(nonEmpty);
    app.add_option("-j,--jobs", f.jobs, fmt::format("jobs at once; default {} on this machine", defaultJobCount()))
        ->check(nonEmpty);
    app.add_flag("--keep-metadata", f.keepMetadata, "keep EXIF, XMP and the ICC profile, without the GPS position");
    app.add_flag("--keep-location", f.keepLocation, "keep the GPS position too (implies --keep-metadata)");
    app.add_option("--files-from", f.filesFrom, "compress the paths listed in FILE (- for standard input), one a line")
        ->type_name("FILE")
        ->check(nonEmpty);
    app.add_flag("-0,--null", f.nullSeparated, "the names in --files-from end in NUL (find -print0)");
    app.add_flag("--score", f.score, "show how different each written picture looks from its source (butteraugli)");
    app.add_flag("--no-score", f.noScore, "do not score written pictures (faster)");
    app.add_flag("--dry-run", f.dryRun, "list each file with its destination, and what is passed over; write nothing");
    app.add_flag("-q,--quiet", f.quiet, "print only failures");
    app.add_flag("--json", f.json, "one JSON object per file on standard output");
    app.add_flag("--list-encoders", f.listEncoders, "show the encoders and libraries, with versions (JSON with --json)");
    app.add_flag("--version", f.version, "show the version and those of the libraries and encoders");
    app.footer([&] {
        std::string text = "Outputs carry no metadata (capture date, camera, GPS position, sRGB profile) unless\n"
                           "--keep-metadata is given; a wider colour space (Display P3, Adobe RGB) always keeps\n"
                           "its profile. Without -o, outputs go beside their sources.\n"
                           "--score shows how different each written picture looks (butteraugli; 0: identical,\n"
                           "below 1 hard to tell apart); --json carries the score unless --no-score is given.\n";
        if (describeDefaults) text += describeDefaults();
        return text + "\nExamples:\n"
                      "  dorvex photo.jpg                          writes photo-min.jpg beside it\n"
                      "  dorvex -l 4 --max-size 200KB -o web ~/Pictures\n"
                      "  dorvex -f webp --suffix= --keep-structure -o /srv/small ~/Pictures\n"
                      "  dorvex --dry-run -o out ~/Videos          shows what would be written\n"
                      "  find . -name '*.png' -print0 | dorvex --files-from - -0 -q\n";
    });

    // "--suffix=" is the option with an empty value; CLI11 would take the next argument instead.
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--") {
            arguments.insert(arguments.end(), argv + i, argv + argc);
            break;
        }
        if (argument.starts_with("--") && argument.ends_with("=") && argument.size() > 3) {
            arguments.push_back(argument.substr(0, argument.size() - 1));
            arguments.emplace_back();
        } else {
            arguments.push_back(argument);
        }
    }
    std::reverse(arguments.begin(), arguments.end());  // CLI11 takes them last first

    try {
        app.parse(arguments);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return std::nullopt;
    } catch (const CLI::ParseError& error) {
        throw UsageError(error.what());
    }

    if (!maxSize.empty()) f.maxSize = parseByteLimit(maxSize);
    if (!videoMaxSize.empty()) f.videoMaxSize = parseByteLimit(videoMaxSize);
    if (f.level && !(*f.level >= 1 && *f.level <= 6)) {
        throw UsageError(fmt::format("the level must be a number from 1 to 6, not {}", *f.level));
    }
    if (f.format && *f.format != "original") {
        const auto format = OutputFormat::fromRawValue(lowercase(*f.format));
        const auto selectable = OutputFormat::selectable();
        if (!format || std::find(selectable.begin(), selectable.end(), *format) == selectable.end()) {
            throw UsageError(fmt::format("unknown format \"{}\" (use jpeg, png, webp, avif, heic, jxl or original)",
                                         *f.format));
        }
    }
    if (f.tiffCompression && !TIFFCompression::fromRawValue(*f.tiffCompression)) {
        throw UsageError(fmt::format("unknown TIFF compression \"{}\" (use lzw or zip)", *f.tiffCompression));
    }
    if (f.videoCodec && !VideoCodec::fromRawValue(*f.videoCodec)) {
        throw UsageError(fmt::format("unknown video codec \"{}\" (use hevc or h264)", *f.videoCodec));
    }
    if (f.score && f.noScore) throw UsageError("--score and --no-score ask for opposite things: give one");
    if (f.jobs && *f.jobs < 1) throw UsageError("--jobs needs a number of at least 1");
    if (f.nullSeparated && !f.filesFrom) throw UsageError("-0 describes the list of --files-from, which is missing");
    if (f.paths.empty() && !f.filesFrom && !f.listEncoders && !f.version) throw UsageError("no files or folders given");
    return f;
}

CompressionOptions apply(const Flags& f, CompressionOptions o) {
    if (f.overwrite && (f.outDir || f.suffix)) {
        throw UsageError("--overwrite replaces the source: it takes neither --out-dir nor --suffix");
    }
    if (f.level) o.level = *f.level;
    if (f.format) {
        o.format = *f.format == "original" ? std::nullopt : OutputFormat::fromRawValue(lowercase(*f.format));
    }
    if (f.maxSize) o.maxBytes = f.maxSize->bytes;
    if (f.videoMaxSize) o.videoMaxBytes = f.videoMaxSize->bytes;
    if (f.keepDimensions) o.keepDimensions = true;
    if (f.prefix) o.filenamePrefix = *f.prefix;
    if (f.jxlLossless) o.jxlLossless = true;
    if (f.tiffCompression) o.tiffCompression = *TIFFCompression::fromRawValue(*f.tiffCompression);
    if (f.videoCodec) o.videoCodec = *VideoCodec::fromRawValue(*f.videoCodec);
    // A score costs about as much as a small JPEG's whole job: text output scores only when it
    // shows the score.
    if (f.score) o.perceptualScore = true;
    if (f.noScore || (!f.score && !f.json)) o.perceptualScore = false;
    if (f.keepLocation) {
        o.metadata = MetadataPolicy::keepAll;
    } else if (f.keepMetadata) {
        o.metadata = MetadataPolicy::keepWithoutLocation;
    }

    // The suffix the location had, for flags that change the place but not the name.
    std::string suffix(SaveLocation::defaultSuffix);
    if (const auto* beside = std::get_if<SaveLocation::SourceFolder>(&o.saveLocation.value)) suffix = beside->suffix;
    if (const auto* folder = std::get_if<SaveLocation::Folder>(&o.saveLocation.value)) suffix = folder->suffix;
    if (f.suffix) suffix = *f.suffix;

    if (f.overwrite) {
        o.saveLocation = SaveLocation::overwrite();
    } else if (f.outDir) {
        std::filesystem::path folder = std::filesystem::absolute(*f.outDir).lexically_normal();
        if (!folder.has_filename() && folder.has_parent_path() && folder != folder.root_path()) {
            folder = folder.parent_path();  // "out/" names the folder "out"
        }
        o.saveLocation = SaveLocation::folder(folder, suffix);
    } else if (f.suffix) {
        if (auto* folder = std::get_if<SaveLocation::Folder>(&o.saveLocation.value)) {
            folder->suffix = suffix;
        } else {
            o.saveLocation = SaveLocation::sourceFolder(suffix);
        }
    }
    if (f.keepStructure && !std::holds_alternative<SaveLocation::Folder>(o.saveLocation.value)) {
        throw UsageError("--keep-structure places outputs under an output folder: give one with -o DIR");
    }
    return o;
}

int defaultJobCount() {
    const int processors = int(Processors::usable());
    return processors > 3 ? std::min(processors / 2, 4) : 2;
}

}  // namespace dorvex::cli
