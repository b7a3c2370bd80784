#pragma once
// ToolError: what goes wrong around the image tools — a source that cannot be decoded, a
// rendering or an intermediate that cannot be made or written, an encoder that is not installed.
// The text (what()) is what the user sees; these technical messages are English.

#include <filesystem>
#include <stdexcept>
#include <string>

#include "dorvex/model/PixelSize.h"

namespace dorvex {

struct ToolError : std::runtime_error {
    enum class Kind { unreadable, renderFailed, writeFailed, encoderMissing };

    // "cannot decode <path>"
    static ToolError unreadable(const std::filesystem::path& file);
    // "cannot render <w>×<h>"
    static ToolError renderFailed(PixelSize size);
    // "cannot write <path>"
    static ToolError writeFailed(const std::filesystem::path& file);
    // "<name> not found (<hint>)"
    static ToolError encoderMissing(const std::string& name, const std::string& hint);

    Kind kind;
    std::filesystem::path file;  // unreadable, writeFailed
    PixelSize size;              // renderFailed
    std::string name;            // encoderMissing
    std::string hint;            // encoderMissing

private:
    ToolError(Kind errorKind, const std::string& text) : std::runtime_error(text), kind(errorKind) {}
};

}  // namespace dorvex
