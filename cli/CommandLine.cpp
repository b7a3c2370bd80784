#include "CommandLine.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <filesystem>

#include <fmt/format.h>

#include "dorvex/model/OutputFormat.h"
#include "dorvex/platform/Processors.h"
#include "dorvex/text/Translation.h"

namespace dorvex::cli {

namespace {

// Far beyond any file, and still exact in a double and an int64.
constexpr double maxByteLimit = 1e15;

// An option that takes a value must be given one: `--level ""` is a mistake, not a default.
const CLI::Validator nonEmpty(
    [](std::string& value) { return value.empty() ? std::string(i18n("an empty value is not allowed")) : std::string(); },
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
        throw UsageError(i18nf("not a size: \"{}\" (try 200000, 200KB, 1.5MB or none)", text));
    }
    std::string unit = lower.substr(used);
    unit.erase(std::remove(unit.begin(), unit.end(), ' '), unit.end());
    double scale = 0;
    if (unit.empty() || unit == "b") scale = 1;
    else if (unit == "k" || unit == "kb") scale = 1e3;
    else if (unit == "m" || unit == "mb") scale = 1e6;
    else if (unit == "g" || unit == "gb") scale = 1e9;
    else throw UsageError(i18nf("unknown size unit in \"{}\" (use B, KB, MB or GB)", text));
    // Decimal units: "1.5KB" is 1500 bytes exactly; what is not a whole number of bytes is a typo.
    const double bytes = number * scale;
    if (std::isnan(bytes) || bytes < 1) {
        throw UsageError(i18nf("a size limit must be at least one byte: \"{}\"", text));
    }
    if (bytes > maxByteLimit) {
        throw UsageError(i18nf("a size limit must be at most 1000 TB: \"{}\"", text));
    }
    if (std::abs(bytes - std::round(bytes)) > 1e-9 * bytes) {
        throw UsageError(i18nf("a size limit is a whole number of bytes: \"{}\"", text));
    }
    return {std::int64_t(std::llround(bytes))};
}

std::vector<std::string> readNames(std::FILE* in, char separator, const NameListLimits& limits) {
    const bool lines = separator != '\0';
    std::vector<std::string> names;
    std::string name;
    std::size_t record = 1;    // the line or entry being read
    std::size_t emptyRun = 0;  // empty ones just before it
    std::size_t totalBytes = 0;
    const auto fail = [](const std::string& problem) { throw UsageError(problem); };
    const auto endName = [&] {
        if (name.empty()) {
            if (++emptyRun > limits.emptyRun) {
                fail(lines ? i18nf("--files-from: more than {} empty names in a row before line {}: is it a list "
                                   "of names?", limits.emptyRun, record + 1)
                           : i18nf("--files-from: more than {} empty names in a row before entry {}: is it a list "
                                   "of names?", limits.emptyRun, record + 1));
            }
        } else {
            emptyRun = 0;
            totalBytes += name.size();
            if (names.size() == limits.names) {
                fail(i18npf("--files-from: more than {} name", "--files-from: more than {} names", limits.names,
                            limits.names));
            }
            if (totalBytes > limits.totalBytes) {
                fail(i18npf("--files-from: more than {} byte of names", "--files-from: more than {} bytes of names",
                            limits.totalBytes, limits.totalBytes));
            }
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
        // Only a list of lines gets here with a NUL: in a NUL-separated list it ends the name.
        if (c == '\0') fail(i18nf("--files-from: line {} holds a NUL byte (a list separated by NUL needs -0)", record));
        if (name.size() == limits.nameBytes) {
            fail(lines ? i18nf("--files-from: line {} is longer than {} bytes, the longest path", record,
                               limits.nameBytes)
                       : i18nf("--files-from: entry {} is longer than {} bytes, the longest path", record,
                               limits.nameBytes));
        }
        name.push_back(char(c));
    }
    if (!name.empty()) endName();
    return names;
}

std::optional<Flags> parse(int argc, const char* const* argv, const std::function<std::string()>& describeDefaults) {
    Flags f;
    CLI::App app{i18n("Compresses images, videos and PDFs: dorvex [options] PATH..."), "dorvex"};
    // CLI11's own words in the help, in the user's language.
    app.get_formatter()->label("Usage", i18n("Usage"));
    app.get_formatter()->label("OPTIONS", i18n("OPTIONS"));
    app.get_formatter()->label("Positionals", i18n("Positionals"));
    app.option_defaults()->group(i18n("Options"));
    app.set_help_flag("-h,--help", i18n("Print this help message and exit"));
    app.add_option("paths", f.paths, i18n("files and folders to compress"));

    std::string maxSize, videoMaxSize;
    app.add_option("-l,--level", f.level, i18n("level from 1 (best quality) to 6 (smallest); default: the preset's"))
        ->check(nonEmpty);
    app.add_option("-f,--format", f.format, i18n("output format: jpeg, png, webp, avif, heic, jxl or original"))
        ->check(nonEmpty);
    app.add_option("--max-size", maxSize, i18n("byte limit per image: 200000, 200KB, 1.5MB or none"))->check(nonEmpty);
    app.add_option("--video-max-size", videoMaxSize, i18n("byte limit per video"))->check(nonEmpty);
    app.add_flag("--keep-dimensions", f.keepDimensions, i18n("never downscale to meet a limit"));
    app.add_option("--suffix", f.suffix, i18n("suffix of the output's name; default -min, --suffix= for none"));
    app.add_option("-o,--out-dir", f.outDir, i18n("save into this folder instead of beside the source"))
        ->type_name("DIR")
        ->check(nonEmpty);
    app.add_flag("--keep-structure", f.keepStructure,
                 i18n("with -o: each output in the same subfolder under DIR as its source under the folder given"));
    app.add_flag("--overwrite", f.overwrite, i18n("replace the source, which goes to the trash"));
    app.add_option("--prefix", f.prefix, i18n("prefix of the output's name"));
    app.add_flag("--jxl-lossless", f.jxlLossless, i18n("lossless JPEG XL (with --format jxl)"));
    app.add_option("--tiff-compression", f.tiffCompression, i18n("TIFF compression: lzw or zip"))->check(nonEmpty);
    app.add_option("--video-codec", f.videoCodec, i18n("video codec: hevc or h264"))->check(nonEmpty);
    app.add_option("--preset", f.preset, i18n("start from this preset instead of the selected one"))->check(nonEmpty);
    app.add_option("-j,--jobs", f.jobs, i18nf("jobs at once; default {} on this machine", defaultJobCount()))
        ->check(nonEmpty);
    app.add_flag("--keep-metadata", f.keepMetadata,
                 i18n("keep EXIF, XMP and the ICC profile, without the GPS position"));
    app.add_flag("--keep-location", f.keepLocation, i18n("keep the GPS position too (implies --keep-metadata)"));
    app.add_option("--files-from", f.filesFrom,
                   i18n("compress the paths listed in FILE (- for standard input), one a line"))
        ->type_name("FILE")
        ->check(nonEmpty);
    app.add_flag("-0,--null", f.nullSeparated, i18n("the names in --files-from end in NUL (find -print0)"));
    app.add_flag("--score", f.score,
                 i18n("show how different each written picture looks from its source (butteraugli)"));
    app.add_flag("--no-score", f.noScore, i18n("do not score written pictures (faster)"));
    app.add_flag("--dry-run", f.dryRun,
                 i18n("list each file with its destination, and what is passed over; write nothing"));
    app.add_flag("-q,--quiet", f.quiet, i18n("print only failures"));
    app.add_flag("--json", f.json, i18n("one JSON object per file on standard output"));
    app.add_flag("--list-encoders", f.listEncoders,
                 i18n("show the encoders and libraries, with versions (JSON with --json)"));
    app.add_flag("--version", f.version, i18n("show the version and those of the libraries and encoders"));
    app.footer([&] {
        std::string text = i18n("Outputs carry no metadata (capture date, camera, GPS position, sRGB profile) unless\n"
                                "--keep-metadata is given; a wider colour space (Display P3, Adobe RGB) always keeps\n"
                                "its profile. Without -o, outputs go beside their sources.\n"
                                "--score shows how different each written picture looks (butteraugli; 0: identical,\n"
                                "below 1 hard to tell apart); --json carries the score unless --no-score is given.\n");
        if (describeDefaults) text += describeDefaults();
        return text + i18n("\nExamples:\n"
                           "  dorvex photo.jpg                          writes photo-min.jpg beside it\n"
                           "  dorvex -l 4 --max-size 200KB -o web ~/Pictures\n"
                           "  dorvex -f webp --suffix= --keep-structure -o /srv/small ~/Pictures\n"
                           "  dorvex --dry-run -o out ~/Videos          shows what would be written\n"
                           "  find . -name '*.png' -print0 | dorvex --files-from - -0 -q\n");
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
        throw UsageError(i18nf("the level must be a number from 1 to 6, not {}", *f.level));
    }
    if (f.format && *f.format != "original") {
        const auto format = OutputFormat::fromRawValue(lowercase(*f.format));
        const auto selectable = OutputFormat::selectable();
        if (!format || std::find(selectable.begin(), selectable.end(), *format) == selectable.end()) {
            throw UsageError(i18nf("unknown format \"{}\" (use jpeg, png, webp, avif, heic, jxl or original)",
                                         *f.format));
        }
    }
    if (f.tiffCompression && !TIFFCompression::fromRawValue(*f.tiffCompression)) {
        throw UsageError(i18nf("unknown TIFF compression \"{}\" (use lzw or zip)", *f.tiffCompression));
    }
    if (f.videoCodec && !VideoCodec::fromRawValue(*f.videoCodec)) {
        throw UsageError(i18nf("unknown video codec \"{}\" (use hevc or h264)", *f.videoCodec));
    }
    if (f.score && f.noScore) throw UsageError(i18n("--score and --no-score ask for opposite things: give one"));
    if (f.jobs && *f.jobs < 1) throw UsageError(i18n("--jobs needs a number of at least 1"));
    if (f.nullSeparated && !f.filesFrom) {
        throw UsageError(i18n("-0 describes the list of --files-from, which is missing"));
    }
    if (f.paths.empty() && !f.filesFrom && !f.listEncoders && !f.version) {
        throw UsageError(i18n("no files or folders given"));
    }
    return f;
}

CompressionOptions apply(const Flags& f, CompressionOptions o) {
    if (f.overwrite && (f.outDir || f.suffix)) {
        throw UsageError(i18n("--overwrite replaces the source: it takes neither --out-dir nor --suffix"));
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
        throw UsageError(i18n("--keep-structure places outputs under an output folder: give one with -o DIR"));
    }
    return o;
}

int defaultJobCount() {
    const int processors = int(Processors::usable());
    return processors > 3 ? std::min(processors / 2, 4) : 2;
}

}  // namespace dorvex::cli
