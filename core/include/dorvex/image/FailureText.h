#pragma once
// FailureText: how a job that could not finish tells the user why. The message is one line in the
// user's language that names the file (its name, never its folder), the cause, and where there is
// one, what to do: "无法解码 a.png：文件已损坏或格式不受支持". The words of the tool or library
// that failed (an encoder's exit status and standard error, libvips's message, a full path) go
// into the failure's detail, which the front ends show apart (a row's tooltip, the command line's
// JSON and an indented line under its failure).
//
// The error types below the job keep their own texts (the encoders' are English); the job turns
// them into these messages once, where it makes its result.

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "dorvex/image/EncodeFailure.h"
#include "dorvex/model/CompressionResult.h"

namespace dorvex::FailureText {

// A source that cannot be opened; `problem` is SourceFile::problemText's: "无法读取 a.png：没有读取权限，
// 请检查文件的权限", "找不到 a.png：文件已被移动、改名或删除", "无法读取 a.png：<the system's words>".
CompressionResult::Failed unopenable(const std::filesystem::path& source, std::string_view problem);

// The encoder's refusal that ended the job: "编码器 cwebp 无法压缩 a.png（退出码 1）", "编码器 cwebp
// 压缩 a.png 时崩溃（SEGV）", "编码器 cwebp 为 a.png 写出的文件无法使用", …; the detail is the
// refusal's own description.
CompressionResult::Failed refused(const EncodeFailure& failure, const std::filesystem::path& source);

// "无法压缩 a.png：<cause>", with `detail` as given.
CompressionResult::Failed compressing(const std::filesystem::path& source, std::string_view cause,
                                      std::string detail = {});

// The failure for the exception being handled; call it inside a catch block only. Cancellation
// gives "已取消", exhausted memory "内存不足，已跳过此文件"; the typed errors of the image tools,
// the encoders and the output planner get their cause; anything else is "无法压缩 a.png：出现意外
// 错误" with the exception's text as the detail.
CompressionResult::Failed current(const std::filesystem::path& source);

// What a failed file-system call means to the user: "没有写入权限" (`writing`) or "没有读取权限",
// "磁盘空间不足", "磁盘是只读的", …; the system's own words for the rarer errors.
std::string systemCause(std::error_code code, bool writing);

}  // namespace dorvex::FailureText
