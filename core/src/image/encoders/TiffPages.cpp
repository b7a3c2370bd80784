#include "image/encoders/TiffPages.h"

#include <array>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <span>
#include <system_error>

namespace dorvex::TiffPages {

namespace {

constexpr std::uint16_t tagBitsPerSample = 258;
constexpr std::uint16_t tagPhotometric = 262;
constexpr std::uint16_t tagStripOffsets = 273;
constexpr std::uint16_t tagSamplesPerPixel = 277;
constexpr std::uint16_t tagFreeOffsets = 288;
constexpr std::uint16_t tagTileOffsets = 324;
constexpr std::uint16_t tagSubIFDs = 330;
constexpr std::uint16_t tagGlobalParametersIFD = 400;
constexpr std::uint16_t tagJpegInterchangeFormat = 513;
constexpr std::uint16_t tagJpegQTables = 519;
constexpr std::uint16_t tagJpegDCTables = 520;
constexpr std::uint16_t tagJpegACTables = 521;
constexpr std::uint16_t tagExifIFD = 34665;
constexpr std::uint16_t tagGpsIFD = 34853;
constexpr std::uint16_t tagInteroperabilityIFD = 40965;

constexpr std::uint16_t typeShort = 3;
constexpr std::uint16_t typeLong = 4;

constexpr std::size_t headerBytes = 8;
constexpr std::size_t entryBytes = 12;
constexpr std::size_t maxPages = 65536;  // IFD chains longer than this are treated as loops

// Bytes per value of each field type of classic TIFF; 0 for unknown types.
std::size_t typeBytes(std::uint16_t type) {
    static constexpr std::array<std::size_t, 14> sizes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < sizes.size() ? sizes[type] : 0;
}

// Reads `count` bytes at `offset` into `into`; false when they are not all there.
using ReadAt = std::function<bool(std::uint64_t offset, std::size_t count, std::uint8_t* into)>;

class Reader {
public:
    explicit Reader(ReadAt readAt) : readAt_(std::move(readAt)) {}

    // Reads the header; false when this is not a classic TIFF.
    bool open() {
        std::array<std::uint8_t, headerBytes> header{};
        if (!readAt_(0, header.size(), header.data())) return false;
        if (header[0] == 'I' && header[1] == 'I') {
            bigEndian_ = false;
        } else if (header[0] == 'M' && header[1] == 'M') {
            bigEndian_ = true;
        } else {
            return false;
        }
        firstIFD_ = decode32(header.data() + 4);
        return decode16(header.data() + 2) == 42;
    }

    bool bigEndian() const { return bigEndian_; }
    std::uint32_t firstIFD() const { return firstIFD_; }

    std::optional<std::uint16_t> u16(std::uint64_t offset) const {
        std::array<std::uint8_t, 2> bytes{};
        if (!readAt_(offset, bytes.size(), bytes.data())) return std::nullopt;
        return decode16(bytes.data());
    }
    std::optional<std::uint32_t> u32(std::uint64_t offset) const {
        std::array<std::uint8_t, 4> bytes{};
        if (!readAt_(offset, bytes.size(), bytes.data())) return std::nullopt;
        return decode32(bytes.data());
    }

    std::uint16_t decode16(const std::uint8_t* p) const {
        return bigEndian_ ? std::uint16_t((p[0] << 8) | p[1]) : std::uint16_t((p[1] << 8) | p[0]);
    }
    std::uint32_t decode32(const std::uint8_t* p) const {
        return bigEndian_ ? (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3]
                          : (std::uint32_t(p[3]) << 24) | (std::uint32_t(p[2]) << 16) | (std::uint32_t(p[1]) << 8) | p[0];
    }

    // The first value of a SHORT or LONG field of the IFD at `ifd`; nullopt when absent.
    std::optional<std::uint32_t> firstValue(std::uint32_t ifd, std::uint16_t tag) const {
        const std::optional<std::uint16_t> count = u16(ifd);
        if (!count) return std::nullopt;
        for (std::size_t i = 0; i < *count; ++i) {
            const std::uint64_t entry = std::uint64_t(ifd) + 2 + i * entryBytes;
            if (u16(entry) != tag) continue;
            const std::optional<std::uint16_t> type = u16(entry + 2);
            const std::optional<std::uint32_t> valueCount = u32(entry + 4);
            if (!type || !valueCount || *valueCount == 0 || (*type != typeShort && *type != typeLong)) {
                return std::nullopt;
            }
            std::uint64_t at = entry + 8;
            if (std::uint64_t(*valueCount) * typeBytes(*type) > 4) {
                const std::optional<std::uint32_t> offset = u32(entry + 8);
                if (!offset) return std::nullopt;
                at = *offset;
            }
            if (*type == typeShort) {
                const std::optional<std::uint16_t> value = u16(at);
                return value ? std::optional<std::uint32_t>(*value) : std::nullopt;
            }
            return u32(at);
        }
        return std::nullopt;
    }

    // The offsets of the IFDs of the main chain, in order; stops at a loop or a bad offset.
    std::vector<std::uint32_t> chain() const {
        std::vector<std::uint32_t> ifds;
        std::set<std::uint32_t> seen;
        std::uint32_t ifd = firstIFD_;
        while (ifd >= headerBytes && ifds.size() < maxPages && seen.insert(ifd).second) {  // 0 ends the chain
            const std::optional<std::uint16_t> count = u16(ifd);
            if (!count) break;
            ifds.push_back(ifd);
            const std::optional<std::uint32_t> next = u32(std::uint64_t(ifd) + 2 + std::uint64_t(*count) * entryBytes);
            if (!next) break;
            ifd = *next;
        }
        return ifds;
    }

private:
    ReadAt readAt_;
    bool bigEndian_ = false;
    std::uint32_t firstIFD_ = 0;
};

ReadAt memoryReader(std::span<const std::uint8_t> bytes) {
    return [bytes](std::uint64_t offset, std::size_t count, std::uint8_t* into) {
        if (offset > bytes.size() || count > bytes.size() - offset) return false;
        std::memcpy(into, bytes.data() + offset, count);
        return true;
    };
}

class Writer {
public:
    Writer(Bytes& bytes, bool bigEndian) : bytes_(bytes), bigEndian_(bigEndian) {}

    void put32(std::size_t offset, std::uint32_t value) {
        for (std::size_t i = 0; i < 4; ++i) {
            const std::size_t shift = bigEndian_ ? 8 * (3 - i) : 8 * i;
            bytes_[offset + i] = std::uint8_t(value >> shift);
        }
    }

private:
    Bytes& bytes_;
    bool bigEndian_;
};

// Moves every offset of the TIFF that starts at `base` inside `file` (it was written as a file of
// its own) by `base`. False when it holds a structure we do not move (sub-IFDs, EXIF, …).
bool relocate(Bytes& file, std::size_t base, std::size_t length) {
    const std::span<const std::uint8_t> page(file.data() + base, length);
    Reader reader(memoryReader(page));
    if (!reader.open()) return false;
    Writer writer(file, reader.bigEndian());
    const auto shift = [&](std::uint32_t offset) { return std::uint32_t(offset + base); };

    for (std::uint32_t ifd : reader.chain()) {
        const std::uint16_t count = *reader.u16(ifd);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint64_t entry = std::uint64_t(ifd) + 2 + i * entryBytes;
            const std::optional<std::uint16_t> tag = reader.u16(entry);
            const std::optional<std::uint16_t> type = reader.u16(entry + 2);
            const std::optional<std::uint32_t> valueCount = reader.u32(entry + 4);
            const std::optional<std::uint32_t> valueField = reader.u32(entry + 8);
            if (!tag || !type || !valueCount || !valueField || typeBytes(*type) == 0) return false;
            switch (*tag) {
                case tagSubIFDs:
                case tagGlobalParametersIFD:
                case tagJpegQTables:
                case tagJpegDCTables:
                case tagJpegACTables:
                case tagExifIFD:
                case tagGpsIFD:
                case tagInteroperabilityIFD:
                    return false;
                default:
                    break;
            }
            const std::uint64_t valueBytes = std::uint64_t(*valueCount) * typeBytes(*type);
            const bool inline_ = valueBytes <= 4;
            const std::uint64_t values = inline_ ? entry + 8 : *valueField;
            if (values + valueBytes > length) return false;

            const bool holdsOffsets = *tag == tagStripOffsets || *tag == tagTileOffsets || *tag == tagFreeOffsets ||
                                      *tag == tagJpegInterchangeFormat;
            if (holdsOffsets) {
                if (*type != typeLong) return false;
                for (std::uint64_t k = 0; k < *valueCount; ++k) {
                    const std::uint64_t at = values + 4 * k;
                    writer.put32(base + at, shift(*reader.u32(at)));
                }
            }
            if (!inline_) writer.put32(base + entry + 8, shift(*valueField));
        }
        const std::uint64_t nextAt = std::uint64_t(ifd) + 2 + std::uint64_t(count) * entryBytes;
        const std::optional<std::uint32_t> next = reader.u32(nextAt);
        if (!next) return false;
        if (*next != 0) writer.put32(base + nextAt, shift(*next));
    }
    return true;
}

}  // namespace

// The layouts of the pages of a classic TIFF file, in page order; empty when it is not one.
std::vector<PageLayout> readPageLayouts(const std::filesystem::path& file) {
    auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
    if (!*in) return {};
    std::error_code error;
    const std::uintmax_t size = std::filesystem::file_size(file, error);
    if (error) return {};
    Reader reader([in, size](std::uint64_t offset, std::size_t count, std::uint8_t* into) {
        if (offset > size || count > size - offset) return false;
        in->clear();
        in->seekg(std::streamoff(offset));
        return bool(in->read(reinterpret_cast<char*>(into), std::streamsize(count)));
    });
    if (!reader.open()) return {};
    std::vector<PageLayout> layouts;
    for (std::uint32_t ifd : reader.chain()) {
        PageLayout layout;
        layout.bitsPerSample = reader.firstValue(ifd, tagBitsPerSample).value_or(1);
        layout.samplesPerPixel = reader.firstValue(ifd, tagSamplesPerPixel).value_or(1);
        layout.photometric = reader.firstValue(ifd, tagPhotometric);
        layouts.push_back(layout);
    }
    return layouts;
}

// Appends a whole TIFF file written on its own (`page`, same byte order) to `file`, chaining its
// IFDs after the last IFD of `file`. False when the two cannot be joined.
bool append(Bytes& file, const Bytes& page) {
    Reader fileReader(memoryReader(file));
    Reader pageReader(memoryReader(page));
    if (!fileReader.open() || !pageReader.open() || fileReader.bigEndian() != pageReader.bigEndian()) return false;
    const std::vector<std::uint32_t> ifds = fileReader.chain();
    if (ifds.empty() || pageReader.chain().empty()) return false;
    const std::uint64_t lastNextAt = std::uint64_t(ifds.back()) + 2 + std::uint64_t(*fileReader.u16(ifds.back())) * entryBytes;
    if (lastNextAt + 4 > file.size()) return false;  // a last IFD cut short has no link to set

    const std::size_t joined = file.size();
    const std::size_t base = joined + joined % 2;  // IFDs and values start on a word boundary
    if (std::uint64_t(base) + page.size() > std::numeric_limits<std::uint32_t>::max()) return false;
    file.resize(base);
    file.insert(file.end(), page.begin(), page.end());
    if (!relocate(file, base, page.size())) {
        file.resize(joined);  // as it was
        return false;
    }
    Writer(file, fileReader.bigEndian()).put32(std::size_t(lastNextAt), std::uint32_t(base + pageReader.firstIFD()));
    return true;
}

}  // namespace dorvex::TiffPages
