#include "dorvex/image/ToolError.h"

#include "dorvex/model/SourceFile.h"
#include "dorvex/text/Translation.h"

namespace dorvex {

ToolError ToolError::unreadable(const std::filesystem::path& path, const std::string& detail) {
    ToolError error(Kind::unreadable, SourceFile::damaged(detail));
    error.file = path;
    error.detail = detail;
    return error;
}

ToolError ToolError::inaccessible(const std::filesystem::path& path, const std::string& reason) {
    ToolError error(Kind::inaccessible, reason);
    error.file = path;
    error.detail = reason;
    return error;
}

ToolError ToolError::tooLarge(const std::filesystem::path& path, PixelSize pixelSize) {
    ToolError error = unreadable(path, i18nf("{} 超出可处理的尺寸", pixelSize.description()));
    error.kind = Kind::tooLarge;
    error.size = pixelSize;
    return error;
}

ToolError ToolError::renderFailed(PixelSize pixelSize) {
    ToolError error(Kind::renderFailed, "cannot render " + pixelSize.description());
    error.size = pixelSize;
    return error;
}

ToolError ToolError::writeFailed(const std::filesystem::path& path) {
    ToolError error(Kind::writeFailed, "cannot write " + path.string());
    error.file = path;
    return error;
}

ToolError ToolError::encoderMissing(const std::string& toolName, const std::string& installHint) {
    ToolError error(Kind::encoderMissing, toolName + " not found (" + installHint + ")");
    error.name = toolName;
    error.hint = installHint;
    return error;
}

}  // namespace dorvex
