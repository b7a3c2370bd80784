#pragma once
// OutputPlanner: where a job's output goes and how it gets there. It checks the naming options,
// names the destination, and writes the produced file there: clashes with the source, earlier
// outputs and foreign files are resolved (through the trash where anything could be lost), the
// overwrite mode sends the source to the trash, and every output carries the markers that later
// runs recognise. Texts of errors and warnings are what the user sees.
//
// Writing is safe against concurrent jobs. An output is copied to a hidden temporary file
// (".dorvex-XXXXXX") in the destination's folder, marked, and renamed into place, so nobody ever
// sees a half-written or unmarked output. A name is never left empty on the way: what the output
// takes the place of (the source in the overwrite mode, a file standing at the destination) is
// placed in the trash first, still standing, and the output replaces it in one rename. A new
// output never replaces a file that appeared at its name meanwhile (another program, another
// instance): its rename refuses to replace, and the file that appeared is handled like any other
// file standing there. Where the rename stands for something the user had, the copy is flushed
// to disk before it and the folder after it. A new output beside a kept source is not flushed one
// by one: its filesystem is flushed by flushOutputs, which the engine calls when a batch ends
// (`Compressor::finishBatch`; a crash before that may leave such an output cut short, never a
// source or an older file). On top of that, every write holds a process-wide lock keyed by its destination
// (the absolute path with symbolic links of the existing folders resolved) from the identity check
// to the last trash call, so two jobs that aim at the same file run their whole sequences one
// after the other: the second sees the first one's output and treats it like any other file
// standing there. A write that falls back to the "-min" name also locks that name; such names
// only ever grow, so the locks cannot deadlock.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "dorvex/model/CompressionResult.h"
#include "dorvex/model/OutputFormat.h"
#include "dorvex/model/SaveLocation.h"
#include "dorvex/platform/Trash.h"

namespace dorvex::OutputPlanner {

// Markers, as Linux extended attributes in the user namespace. Both marker names are written on
// every output and either is recognised; the value is "1" for an output beside its source or in
// a folder and "overwrite" for one that took its source's place (UTF-8, no terminating zero).
inline constexpr std::string_view optimizedAttribute = "user.local.dorvex.optimized";
inline constexpr std::string_view legacyOptimizedAttribute = "user.local.tavelin.optimized";
inline constexpr std::string_view normalMarker = "1";
inline constexpr std::string_view overwriteMarker = "overwrite";
// The absolute path of the source an output was made from, written beside the markers, so that
// an output of another source with the same name is never taken for an earlier output of ours.
inline constexpr std::string_view sourceAttribute = "user.local.dorvex.source";

struct WriteOutcome {
    std::filesystem::path url;          // where the output was finally written
    std::vector<std::string> warnings;  // in the order they arose; empty when all went as planned
    bool operator==(const WriteOutcome&) const = default;
};

// What identifies the file a job read: device, inode, size and modification time. A source
// whose identity changed while its job ran was replaced or edited by someone else.
struct SourceIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t byteCount = 0;
    std::int64_t modifiedNanoseconds = 0;

    // The identity of the file at `path` now (links followed); none when it cannot be read.
    static std::optional<SourceIdentity> of(const std::filesystem::path& path);
    bool operator==(const SourceIdentity&) const = default;
};

// A write that must not happen; nothing has been touched:
// - the output would take the place of its own source outside the overwrite mode:
//   "输出会覆盖原图 <file name>，请设置前缀、后缀或换目录";
// - in the overwrite mode, the source is no longer the file that was read:
//   "原图在压缩期间被修改或替换，未作改动：<file name>".
struct WriteError : std::runtime_error {
    enum class Kind { wouldOverwriteSource, sourceChanged };

    static WriteError wouldOverwriteSource(const std::filesystem::path& destination);
    static WriteError sourceChanged(const std::filesystem::path& source);

    Kind kind;
    std::filesystem::path destination;  // the planned destination

private:
    WriteError(Kind errorKind, const std::string& text) : std::runtime_error(text), kind(errorKind) {}
};

// The prefix or suffix would not make a file name: "文件名前缀和后缀不能包含 / 或空字符".
struct NamingError : std::runtime_error {
    enum class Kind { invalidCharacters };

    static NamingError invalidCharacters();

    Kind kind;
    bool operator==(const NamingError& other) const { return kind == other.kind; }

private:
    NamingError(Kind errorKind, const std::string& text) : std::runtime_error(text), kind(errorKind) {}
};

// The file system refused a step of a write; code() is the errno and the text names the step and
// the path, then the system's own message: "cannot create folder /a/out: Not a directory",
// "cannot read …", "cannot write …", "cannot remove …". A job that ends with one says it in the
// user's words (FailureText: "无法创建文件夹 out：路径中有一项不是文件夹"), with this text as the detail.
struct FileError : std::system_error {
    enum class Kind { createFolder, read, write, remove };

    FileError(Kind errorKind, const std::filesystem::path& path, std::error_code code);

    Kind kind;
    std::filesystem::path path;
};

// Places a file in a place the user can get it back from while it still stands at its own place,
// or throws (the text of what() becomes part of a warning). The write replaces the file's name
// and keeps the entry, or drops the entry (which undoes it) when it fails before that. The
// default is the desktop trash.
using TrashOperation = std::function<Trash::Entry(const std::filesystem::path&)>;

// Throws NamingError when the prefix or the location's suffix contains "/" or a NUL character.
// The overwrite mode names outputs without them, so there is nothing to check then.
void validateNaming(std::string_view prefix, const SaveLocation& location);

// The destination of the output of `source` in `format` (a concrete format): prefix + base name
// (the last extension removed) + suffix + "." + the format's extension, beside the source or in
// the location's folder. In the overwrite mode the prefix plays no part: the destination is the
// source itself when its extension names a type of the output format (photo.JPG stays
// photo.JPG for JPEG), else the base name with the format's extension beside it. Touches no file.
std::filesystem::path destination(const std::filesystem::path& source, OutputFormat format,
                                  const SaveLocation& location, std::string_view prefix);

// Copies `produced` (which stays where it is) to `destination` (from destination()) for the
// output of `source`, in this order:
//  1. Outside the overwrite mode, a destination that is the source (same device and inode, or
//     the same path) throws WriteError and touches nothing.
//  2. The destination's folder is created with its missing parents, and the produced file is
//     copied to a hidden temporary file there (on its own filesystem: linked there, the produced
//     file made private first, unless it is the source or has other names) and marked:
//     "overwrite" in the overwrite mode, "1" otherwise, with the source record. Then it gets the source's permission bits
//     (and, where the process may, its owner and group): marked while it is still writable, so
//     the output of a read-only source is marked too. A failing copy leaves everything as it
//     was: no temporary file outlives the write.
//  2a. In the overwrite mode, when `sourceAsRead` is given and the source's identity is no longer
//     that one (or the source is gone), WriteError::sourceChanged is thrown and nothing is
//     touched.
//  3. In the overwrite mode, when the output takes the source's own name, the source is placed in
//     the trash (still standing); if that fails the output goes to "<base>-min.<source's
//     extension>" beside the kept source instead, with a warning.
//  4. A file standing at the destination (other than the source placed in step 3) is replaced
//     silently when it is an earlier output marked "1" of the same source (isReplaceableOutput);
//     anything else is placed in the trash first, with a warning, and if that fails its error
//     is thrown and nothing is written.
//  5. The copy is renamed into place, replacing what step 3 or 4 decided on in one step; with
//     nothing standing there it refuses to replace, and a file that appeared meanwhile goes
//     through step 4. In the overwrite mode and when a file stood at the destination, the copy
//     is flushed before the rename and the folder after it, so after a crash the output is whole
//     or absent; otherwise its filesystem waits for flushOutputs. The trash entries of steps 3
//     and 4 stay from now on; a failure before this rename takes them out again.
//  6. In the overwrite mode, when the output got another name than the source, the source goes to
//     the trash now; if that fails it is kept, with a warning.
// Throws FileError, or whatever `trash` threw for a file standing in the way in step 4; warnings
// gathered so far go with it. At every moment the source's name holds the source or the whole
// output, and once it holds the output the source is in the trash under its own name.
// Jobs take the source's identity before they read it and pass it as `sourceAsRead`.
WriteOutcome write(const std::filesystem::path& produced, const std::filesystem::path& destination,
                   const std::filesystem::path& source, const SaveLocation& location,
                   const TrashOperation& trash = Trash::place,
                   const std::optional<SourceIdentity>& sourceAsRead = std::nullopt);

// What a job does with its checked output while the output still stands in the job's work folder:
// places it (placing()), or hands it on to the process that places it. Sets the result's output
// and adds the placing's warnings; throws what write() throws.
using Handoff = std::function<void(const std::filesystem::path& produced, CompressionResult& result)>;

// The handoff that places a job's output for `source`: the destination of the result's format
// under `location` and `prefix`, written there by write() with the desktop trash.
Handoff placing(const std::filesystem::path& source, const SaveLocation& location, const std::string& prefix,
                const std::optional<SourceIdentity>& sourceAsRead);

// Flushes to disk every filesystem that outputs were written to without a flush of their own
// since the last call (syncfs; a whole sync when the folder is gone). Blocks until the disks have
// them. Returns the failures' texts ("cannot write /a/out: Input/output error"); empty when all
// went well or nothing was waiting.
std::vector<std::string> flushOutputs();

// True when keeping the source is the better outcome: the output is in the source's own format,
// the source is not empty, the output is not smaller, and the source already fits the byte limit
// (or there is none).
bool isNoSavings(std::int64_t sourceBytes, std::int64_t outputBytes, bool sameFormat,
                 std::optional<std::int64_t> maxBytes);

// True when the file carries either marker, whatever its value.
bool isOptimized(const std::filesystem::path& file);

// Writes both markers with `value` and, when given, the source record (its absolute path).
// Never fails: on a file system without extended attributes the file simply stays unmarked.
void markOptimized(const std::filesystem::path& file, std::string_view value,
                   const std::optional<std::filesystem::path>& source = std::nullopt);

// True when the file at a destination may be replaced without asking: it carries at least one
// marker, every marker it carries reads "1", and its source record (if any) names `source`.
bool isReplaceableOutput(const std::filesystem::path& file, const std::filesystem::path& source);

// For tests only: a hook that write() calls after each of its steps, in the writing thread. Unset
// (empty) outside tests; set it only while no write runs.
namespace Testing {
enum class Step {
    copied,         // the hidden copy is complete, marked, and has its mode
    trashed,        // an item in the way was placed in the trash, still standing
    placing,        // the copy is about to be renamed into place
    placed,         // the output has its name
    sourceTrashed,  // the source (with another name than the output) left for the trash
};
extern std::function<void(Step)> afterStep;
}  // namespace Testing

}  // namespace dorvex::OutputPlanner
