#pragma once
// ToolError: what goes wrong around the image tools — a source that cannot be opened or decoded,
// a rendering or an intermediate that cannot be made or written, an encoder that is not
// installed. The text (what()) is the technical one: a source's failures are in the user's
// language (SourceFile's texts), the others are English. A job that ends with one tells the user
// through FailureText, which names the file and keeps the technical words as the detail.

#include <filesystem>
#include <stdexcept>
#include <string>

#include "dorvex/model/PixelSize.h"

namespace dorvex {

struct ToolError : std::runtime_error {
    enum class Kind { unreadable, inaccessible, tooLarge, renderFailed, writeFailed, encoderMissing };

    // The decoder refused the file: "文件已损坏或格式不受支持", with the decoder's own words in
    // brackets when there are any.
    static ToolError unreadable(const std::filesystem::path& file, const std::string& detail = {});
    // The file cannot be opened: `reason` is SourceFile::problemText's ("没有读取权限", "文件已不存在").
    static ToolError inaccessible(const std::filesystem::path& file, const std::string& reason);
    // The picture is larger than the decoder may open: "文件已损坏或格式不受支持（<w>×<h> 超出可处理的
    // 尺寸）", the size in `size`.
    static ToolError tooLarge(const std::filesystem::path& file, PixelSize size);
    // "cannot render <w>×<h>"
    static ToolError renderFailed(PixelSize size);
    // "cannot write <path>"
    static ToolError writeFailed(const std::filesystem::path& file);
    // "<name> not found (<hint>)"
    static ToolError encoderMissing(const std::string& name, const std::string& hint);

    Kind kind;
    std::filesystem::path file;  // unreadable, inaccessible, tooLarge, writeFailed
    std::string detail;          // unreadable: the decoder's own words; inaccessible: the reason
    PixelSize size;              // tooLarge, renderFailed
    std::string name;            // encoderMissing
    std::string hint;            // encoderMissing

private:
    ToolError(Kind errorKind, const std::string& text) : std::runtime_error(text), kind(errorKind) {}
};

}  // namespace dorvex
