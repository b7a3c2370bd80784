#include "dorvex/model/SourceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "dorvex/platform/FileDescriptor.h"

namespace dorvex::SourceFile {

namespace {

using Bytes = std::span<const unsigned char>;

bool startsWith(Bytes head, std::string_view signature) {
    return head.size() >= signature.size() &&
           std::equal(signature.begin(), signature.end(), head.begin(),
                      [](char expected, unsigned char actual) { return static_cast<unsigned char>(expected) == actual; });
}

std::string_view text(Bytes bytes) { return {reinterpret_cast<const char*>(bytes.data()), bytes.size()}; }

constexpr std::array<std::string_view, 2> avifBrands{"avif", "avis"};
constexpr std::array<std::string_view, 8> heicBrands{"heic", "heix", "heim", "heis", "hevc", "hevx", "hevm", "hevs"};
constexpr std::array<std::string_view, 4> imageBrands{"mif1", "msf1", "miaf", "mif2"};  // the coding unsaid

template <std::size_t N>
bool among(std::string_view brand, const std::array<std::string_view, N>& brands) {
    return std::find(brands.begin(), brands.end(), brand) != brands.end();
}

// A HEIF file-type box: its major brand must name a HEIF image (an MP4 is no picture); a general
// major brand is refined by the compatible brands. A file naming neither AV1 nor HEVC is read as
// HEIC, which is what such files hold in practice.
std::optional<FileType> heifType(Bytes head) {
    if (head.size() < 16 || text(head.subspan(4, 4)) != "ftyp") return std::nullopt;
    const std::uint32_t boxSize = std::uint32_t(head[0]) << 24 | std::uint32_t(head[1]) << 16 |
                                  std::uint32_t(head[2]) << 8 | head[3];
    const std::string_view major = text(head.subspan(8, 4));
    if (among(major, avifBrands)) return FileType::avif;
    if (among(major, heicBrands)) return FileType::heic;
    if (!among(major, imageBrands)) return std::nullopt;
    const std::size_t end = std::min<std::size_t>(boxSize, head.size());
    for (std::size_t at = 16; at + 4 <= end; at += 4) {
        const std::string_view brand = text(head.subspan(at, 4));
        if (among(brand, avifBrands)) return FileType::avif;
        if (among(brand, heicBrands)) return FileType::heic;
    }
    return FileType::heic;
}

}  // namespace

std::string damaged(std::string_view detail) {
    if (detail.empty()) return i18n(damagedText.data());
    return i18nf("文件已损坏或格式不受支持（{}）", detail);
}

std::string problemText(int errorNumber) {
    switch (errorNumber) {
    case EACCES:
    case EPERM: return i18n(noPermissionText.data());
    case ENOENT:
    case ENOTDIR: return i18n(goneText.data());
    case ELOOP: return i18n("符号链接形成了循环");
    default: return std::strerror(errorNumber);
    }
}

std::optional<std::string> readProblem(const std::filesystem::path& file) {
    const FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!descriptor) return problemText(errno);
    return std::nullopt;
}

std::optional<FileType> imageType(Bytes head) {
    if (startsWith(head, "\xFF\xD8\xFF")) return FileType::jpeg;
    if (startsWith(head, "\x89PNG\r\n\x1A\n")) return FileType::png;
    if (startsWith(head, "RIFF") && head.size() >= 12 && text(head.subspan(8, 4)) == "WEBP") return FileType::webp;
    if (startsWith(head, "\xFF\x0A") || startsWith(head, std::string_view("\0\0\0\x0CJXL \x0D\x0A\x87\x0A", 12))) {
        return FileType::jxl;
    }
    for (std::string_view tiff : {std::string_view("II*\0", 4), std::string_view("MM\0*", 4),
                                  std::string_view("II+\0", 4), std::string_view("MM\0+", 4)}) {
        if (startsWith(head, tiff)) return FileType::tiff;
    }
    if (startsWith(head, "icns")) return FileType::icns;
    return heifType(head);
}

std::optional<FileType> imageType(const std::filesystem::path& file) {
    const FileDescriptor descriptor(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    struct stat info {};
    if (!descriptor || ::fstat(descriptor.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    std::array<unsigned char, headSize> head{};
    std::size_t filled = 0;
    while (filled < head.size()) {
        const ssize_t got = ::read(descriptor.get(), head.data() + filled, head.size() - filled);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        filled += std::size_t(got);
    }
    return imageType(Bytes(head.data(), filled));
}

}  // namespace dorvex::SourceFile
