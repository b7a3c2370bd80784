#include "dorvex/output/OutputPlanner.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

WriteError WriteError::wouldOverwriteSource(const fs::path& plannedDestination) {
    WriteError error(Kind::wouldOverwriteSource,
                     i18nf("输出会覆盖原图 {}，请设置前缀、后缀或换目录", plannedDestination.filename().string()));
    error.destination = plannedDestination;
    return error;
}

WriteError WriteError::sourceChanged(const fs::path& changedSource) {
    WriteError error(Kind::sourceChanged, i18nf("原图在压缩期间被修改或替换，未作改动：{}", changedSource.filename().string()));
    error.destination = changedSource;
    return error;
}

namespace {

std::string fileErrorText(FileError::Kind kind, const fs::path& path) {
    switch (kind) {
        case FileError::Kind::createFolder: return "cannot create folder " + path.string();
        case FileError::Kind::read: return "cannot read " + path.string();
        case FileError::Kind::write: return "cannot write " + path.string();
        case FileError::Kind::remove: return "cannot remove " + path.string();
    }
    return path.string();
}

}  // namespace

FileError::FileError(Kind errorKind, const fs::path& failedPath, std::error_code code)
    : std::system_error(code, fileErrorText(errorKind, failedPath)), kind(errorKind), path(failedPath) {}

}  // namespace dorvex::OutputPlanner
