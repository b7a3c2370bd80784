#pragma once
// JobPlan: the jobs of one run, decided before any of them starts — each file's options (under
// --keep-structure its own output folder), the destination the engine will give its output, and
// the files whose destination an earlier file of the same run already takes, which fail instead
// of replacing that output.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "dorvex/model/CompressionOptions.h"

namespace dorvex::cli {

struct PlannedJob {
    std::filesystem::path source;
    CompressionOptions options;
    std::filesystem::path destination;
    std::optional<std::string> clash;  // the failure text when the job must not run
    bool operator==(const PlannedJob&) const = default;
};

// The format the engine writes `source` in with `options`, dispatched by the name as the engine
// does: a video keeps its container (MP4 for other names), a PDF stays a PDF, an image takes the
// chosen format or the one its content names (SourceFile::imageType, the engine's own answer), its
// name's when the content names none.
OutputFormat plannedFormat(const std::filesystem::path& source, const CompressionOptions& options);

// One job per file, in order. With `keepStructure` (which needs an output folder) each output
// goes to the folder under it that keeps the file's place: its folder relative to the first of
// `given` (the paths as the user named them, in order) that is that file or a folder holding it;
// for a file named directly by a relative path without "..", its own folder; else the folder
// itself; a kept folder reached through a symbolic link below the output folder gets a clash
// text instead of a write through it. A destination naming another source of the run, or taken
// by an earlier job's destination, gets a clash text.
std::vector<PlannedJob> plan(const std::vector<std::filesystem::path>& files,
                             const std::vector<std::filesystem::path>& given, const CompressionOptions& options,
                             bool keepStructure);

}  // namespace dorvex::cli
