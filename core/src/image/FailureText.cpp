#include "dorvex/image/FailureText.h"

#include <cerrno>
#include <filesystem>
#include <new>

#include <fmt/format.h>

#include "dorvex/image/ToolError.h"
#include "image/encoders/IcnsFile.h"
#include "image/encoders/ToolRunner.h"
#include "dorvex/model/Cancellation.h"
#include "dorvex/model/QualityModel.h"
#include "dorvex/model/SourceFile.h"
#include "dorvex/output/OutputPlanner.h"
#include "dorvex/platform/Trash.h"
#include "dorvex/text/Translation.h"

namespace dorvex::FailureText {

namespace fs = std::filesystem;
using Failed = CompressionResult::Failed;

namespace {

std::string nameOf(const fs::path& file) { return file.filename().string(); }

Failed writingTemporary(const fs::path& source, std::string detail) {
    return compressing(source, i18n("无法写入临时文件，请检查临时文件夹所在磁盘的空间"), std::move(detail));
}

Failed fromToolError(const ToolError& error, const fs::path& source) {
    switch (error.kind) {
    case ToolError::Kind::unreadable:
        return {i18nf("无法解码 {}：文件已损坏或格式不受支持", nameOf(source)), error.detail};
    case ToolError::Kind::inaccessible: return unopenable(source, error.detail);
    case ToolError::Kind::tooLarge:
        return {i18nf("无法处理 {}：画面 {} 超出可处理的尺寸", nameOf(source), error.size.description()), {}};
    case ToolError::Kind::renderFailed:
        return compressing(source, i18nf("无法生成 {} 的画面，可能是内存不足", error.size.description()),
                           error.what());
    case ToolError::Kind::writeFailed: return writingTemporary(source, error.what());
    case ToolError::Kind::encoderMissing:
        return compressing(source, i18nf("找不到编码器 {}，请先安装它", error.name), error.hint);
    }
    return compressing(source, i18n("出现意外错误"), error.what());
}

Failed fromFileError(const OutputPlanner::FileError& error, const fs::path& source) {
    using Kind = OutputPlanner::FileError::Kind;
    const std::string cause = systemCause(error.code(), error.kind != Kind::read);
    const std::string name = nameOf(error.path);
    switch (error.kind) {
    case Kind::createFolder: return {i18nf("无法创建文件夹 {}：{}", name, cause), error.what()};
    case Kind::read: return {i18nf("无法读取 {} 的压缩结果：{}", nameOf(source), cause), error.what()};
    case Kind::write: return {i18nf("无法写入 {}：{}", name, cause), error.what()};
    case Kind::remove: return {i18nf("无法删除 {}：{}", name, cause), error.what()};
    }
    return compressing(source, cause, error.what());
}

}  // namespace

std::string systemCause(std::error_code code, bool writing) {
    if (code.category() != std::generic_category() && code.category() != std::system_category()) {
        return code.message();
    }
    switch (code.value()) {
    case EACCES:
    case EPERM: return writing ? i18n("没有写入权限") : i18n(SourceFile::noPermissionText.data());
    case ENOSPC: return i18n("磁盘空间不足");
    case EDQUOT: return i18n("超出磁盘配额");
    case EROFS: return i18n("磁盘是只读的");
    case ENOENT: return i18n("文件或文件夹已不存在");
    case ENOTDIR: return i18n("路径中有一项不是文件夹");
    case ENAMETOOLONG: return i18n("文件名过长");
    case EIO: return i18n("磁盘读写出错");
    case EMFILE:
    case ENFILE: return i18n("打开的文件过多");
    case ENOMEM:
    case EAGAIN: return i18n("系统资源不足");
    default: return code.message();
    }
}

Failed compressing(const fs::path& source, std::string_view cause, std::string detail) {
    return {i18nf("无法压缩 {}：{}", nameOf(source), cause), std::move(detail)};
}

Failed unopenable(const fs::path& source, std::string_view problem) {
    const std::string name = nameOf(source);
    if (problem == SourceFile::noPermissionText || problem == i18n(SourceFile::noPermissionText.data())) {
        return {i18nf("无法读取 {}：没有读取权限，请检查文件的权限", name), {}};
    }
    if (problem == SourceFile::goneText || problem == i18n(SourceFile::goneText.data())) {
        return {i18nf("找不到 {}：文件已被移动、改名或删除", name), {}};
    }
    return {i18nf("无法读取 {}：{}", name, problem), {}};
}

Failed refused(const EncodeFailure& failure, const fs::path& source) {
    struct Describe {
        const std::string& name;
        std::string operator()(const EncodeFailure::Tool& f) const {
            if (f.signal != 0) {
                return i18nf("编码器 {} 压缩 {} 时崩溃（{}）", f.name, name, ToolRunner::signalName(f.signal));
            }
            return i18nf("编码器 {} 无法压缩 {}（退出码 {}）", f.name, name, f.status);
        }
        std::string operator()(const EncodeFailure::ImageIO& f) const {
            return i18nf("无法把 {} 写成 {}", name, f.formatName);
        }
        std::string operator()(const EncodeFailure::JpegNotTranscodable&) const {
            return i18nf("无法把 {} 无损转成 JXL：请改用有损的级别或其他格式", name);
        }
        std::string operator()(const EncodeFailure::QualityTooLow&) const {
            return i18nf("{} 色彩过多，PNG 达不到这一级别的最低画质", name);
        }
        std::string operator()(const EncodeFailure::UnusableOutput& f) const {
            return i18nf("编码器 {} 为 {} 写出的文件无法使用", f.encoder, name);
        }
    };
    const std::string name = nameOf(source);
    return {std::visit(Describe{name}, failure.value), failure.description()};
}

Failed current(const fs::path& source) {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return {i18n(outOfMemoryText.data()), {}};
    } catch (const ToolCancelled&) {
        return {cancelledMessage(), {}};
    } catch (const ToolError& error) {
        return fromToolError(error, source);
    } catch (const OutputPlanner::FileError& error) {
        return fromFileError(error, source);
    } catch (const ToolLaunchError& error) {
        const std::string cause = error.errorNumber == EACCES    ? std::string(i18n("没有执行权限"))
                                  : error.errorNumber == ENOEXEC ? std::string(i18n("不是可执行的程序"))
                                                                 : systemCause({error.errorNumber, std::generic_category()}, false);
        return {i18nf("无法启动编码器 {}：{}", nameOf(error.executable), cause), error.what()};
    } catch (const IcnsError& error) {
        if (error.kind == IcnsError::Kind::writeFailed) return writingTemporary(source, error.what());
        return {i18nf("无法解码 {}：文件已损坏或格式不受支持", nameOf(source)), error.what()};
    } catch (const Trash::Error& error) {
        return {i18nf("无法写入 {} 的压缩结果：输出位置上已有的文件无法移入回收站", nameOf(source)), error.what()};
    } catch (const fs::filesystem_error& error) {
        return compressing(source, systemCause(error.code(), true), error.what());
    } catch (const OutputPlanner::WriteError& error) {
        return {error.what(), {}};  // already says what happened and what to do
    } catch (const OutputPlanner::NamingError& error) {
        return {error.what(), {}};
    } catch (const InvalidLevelError& error) {
        return {error.what(), {}};
    } catch (const ToolTimeoutError& error) {
        return {error.what(), {}};
    } catch (const std::exception& error) {
        return compressing(source, i18n("出现意外错误"), error.what());
    } catch (...) {
        return compressing(source, i18n("出现意外错误"));
    }
}

}  // namespace dorvex::FailureText
