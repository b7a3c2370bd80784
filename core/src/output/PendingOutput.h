#pragma once
// PendingOutput: a complete and marked copy of the produced file under a hidden temporary name in
// the destination's folder, waiting to be renamed into place. Removed unless published, also when
// the copy fails half-way (the name is owned by a member, which is destroyed when the constructor
// throws). On the produced file's own filesystem the "copy" is a second name of the same file (a
// hard link): no bytes copied and no new file made.

#include <sys/stat.h>

#include <filesystem>
#include <string_view>

#include "dorvex/platform/FileDescriptor.h"
#include "platform/TemporaryName.h"

namespace dorvex::OutputPlanner {

class PendingOutput {
public:
    PendingOutput(const std::filesystem::path& produced, const std::filesystem::path& destination,
                  std::string_view marker, const std::filesystem::path& source);
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    const std::filesystem::path& folder() const { return folder_; }

    // Puts the copy's bytes on disk; called before anything of the user's is touched.
    void flush(const std::filesystem::path& destination);

    // Renames the copy to `destination`: replacing what stands there in one step when
    // `replacing`, else only where nothing does (false when the name is taken). When `durable`,
    // the copy is flushed before the rename and the folder after it, so after a crash the output
    // is whole or absent and the rename has happened or not. Otherwise its filesystem is left to
    // be flushed with the others (flushOutputs).
    bool publish(const std::filesystem::path& destination, bool durable, bool replacing);

private:
    std::filesystem::path folderOrCurrent() const { return folder_.empty() ? std::filesystem::path(".") : folder_; }

    // A hidden second name of `produced` in the destination's folder, open for reading (enough to
    // change its mode, owner and markers and to flush it); none where the filesystems differ or
    // links are refused, and the caller copies. The produced file is made private first, so the
    // new name never shows a private photo's output to others before its mode is set; `status` is
    // the produced file as it was before.
    FileDescriptor linked(const std::filesystem::path& produced, const std::filesystem::path& source,
                          struct stat& status);

    // Gives the copy the name `destination` unless that is taken (errno EEXIST then); where the
    // filesystem has neither an exclusive rename nor second names, the name is looked at just
    // before a rename.
    bool placedNew(const std::filesystem::path& destination);

    // A new hidden file in the destination's folder with the bytes of `input`.
    FileDescriptor copied(const FileDescriptor& input, const std::filesystem::path& produced,
                          const std::filesystem::path& destination);

    std::filesystem::path folder_;
    TemporaryName temporary_;
    FileDescriptor output_;
    bool flushed_ = false;
};

}  // namespace dorvex::OutputPlanner
