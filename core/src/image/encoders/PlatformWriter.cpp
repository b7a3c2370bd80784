#include "dorvex/image/encoders/PlatformWriter.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <limits>
#include <memory>
#include <set>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <libheif/heif.h>

#include "dorvex/image/ToolError.h"
#include "image/VipsBlob.h"
#include "image/VipsPicture.h"
#include "dorvex/image/VipsRuntime.h"
#include "dorvex/image/encoders/IcnsFile.h"

namespace dorvex::PlatformWriter {

using vips::VImage;

namespace {

using Bytes = std::vector<std::uint8_t>;

EncodeFailure imageIOFailure(OutputFormat format) {
    return EncodeFailure{EncodeFailure::ImageIO{std::string(format.displayName())}};
}

void removeQuietly(const std::filesystem::path& file) {
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
}

bool writeFile(const std::filesystem::path& file, const Bytes& bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    if (out) out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (out) out.close();
    return bool(out);
}

struct StrvFree {
    void operator()(gchar** strings) const { g_strfreev(strings); }
};

// A copy of the image that carries only the named metadata items.
VImage keepingOnlyMetadata(const VImage& image, std::initializer_list<std::string_view> kept) {
    VImage copy = image.copy();
    std::unique_ptr<gchar*, StrvFree> fields(vips_image_get_fields(copy.get_image()));
    for (gchar** field = fields.get(); field != nullptr && *field != nullptr; ++field) {
        if (std::find(kept.begin(), kept.end(), std::string_view(*field)) == kept.end()) copy.remove(*field);
    }
    return copy;
}

// ---- TIFF layout ------------------------------------------------------------------------------
// Just enough of the classic TIFF layout to read a few tags of a source's pages, and to chain the
// single-page files that libvips writes into one multi-page file.

namespace tiff {

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
        while (ifd != 0 && ifds.size() < maxPages && seen.insert(ifd).second) {
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

// How one page of a source stores its samples, as far as libvips' loader does not tell.
struct PageLayout {
    std::uint32_t bitsPerSample = 8;
    std::uint32_t samplesPerPixel = 1;
    std::optional<std::uint32_t> photometric;
};

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

// Appends a whole TIFF file written on its own (`page`, same byte order) to `file`, chaining its
// IFDs after the last IFD of `file`. False when the two cannot be joined.
bool append(Bytes& file, const Bytes& page) {
    Reader fileReader(memoryReader(file));
    Reader pageReader(memoryReader(page));
    if (!fileReader.open() || !pageReader.open() || fileReader.bigEndian() != pageReader.bigEndian()) return false;
    const std::vector<std::uint32_t> ifds = fileReader.chain();
    if (ifds.empty()) return false;
    const std::uint64_t lastNextAt = std::uint64_t(ifds.back()) + 2 + std::uint64_t(*fileReader.u16(ifds.back())) * entryBytes;

    const std::size_t base = file.size() + file.size() % 2;  // IFDs and values start on a word boundary
    if (std::uint64_t(base) + page.size() > std::numeric_limits<std::uint32_t>::max()) return false;
    file.resize(base);
    file.insert(file.end(), page.begin(), page.end());
    if (!relocate(file, base, page.size())) return false;
    Writer(file, fileReader.bigEndian()).put32(std::size_t(lastNextAt), std::uint32_t(base + pageReader.firstIFD()));
    return true;
}

}  // namespace tiff

// The options that save one page: compression with its predictor, and the source's own depth
// for 1, 2 and 4-bit grey, which libvips loads as 8-bit. (libvips 8.14 writes Deflate at zlib's
// default level; it has no setting for it.)
vips::VOption* tiffPageOptions(const VImage& page, TIFFCompression compression, const std::optional<tiff::PageLayout>& layout) {
    // Grey (photometric 0 or 1, not a palette) loads as evenly spaced 8-bit levels, which these
    // depths store exactly.
    const bool lowDepthGrey = layout && layout->samplesPerPixel == 1 && layout->photometric.value_or(1) <= 1 &&
                              (layout->bitsPerSample == 1 || layout->bitsPerSample == 2 || layout->bitsPerSample == 4) &&
                              page.bands() == 1 && page.format() == VIPS_FORMAT_UCHAR;
    const bool floating = page.format() == VIPS_FORMAT_FLOAT || page.format() == VIPS_FORMAT_DOUBLE;
    const bool complex = page.format() == VIPS_FORMAT_COMPLEX || page.format() == VIPS_FORMAT_DPCOMPLEX;
    // libtiff has no predictor for samples below 8 bits (it writes an unreadable strip).
    const VipsForeignTiffPredictor predictor = complex || lowDepthGrey ? VIPS_FOREIGN_TIFF_PREDICTOR_NONE
                                               : floating              ? VIPS_FOREIGN_TIFF_PREDICTOR_FLOAT
                                                                       : VIPS_FOREIGN_TIFF_PREDICTOR_HORIZONTAL;
    auto* options = VImage::option()
                        ->set("compression", compression == TIFFCompression::lzw ? VIPS_FOREIGN_TIFF_COMPRESSION_LZW
                                                                                 : VIPS_FOREIGN_TIFF_COMPRESSION_DEFLATE)
                        ->set("predictor", predictor);
    if (lowDepthGrey) options->set("bitdepth", int(layout->bitsPerSample));
    return options;
}

// ---- HEIC through libheif -----------------------------------------------------------------------
// libvips' heifsave hands libheif's x265 plug-in no speed setting, which leaves x265 at its slow
// default: minutes for a camera photo. We drive libheif ourselves to pick the x265 preset.

namespace heif {

struct ContextFree {
    void operator()(heif_context* context) const { heif_context_free(context); }
};
struct EncoderRelease {
    void operator()(heif_encoder* encoder) const { heif_encoder_release(encoder); }
};
struct ImageRelease {
    void operator()(heif_image* image) const { heif_image_release(image); }
};
struct HandleRelease {
    void operator()(heif_image_handle* handle) const { heif_image_handle_release(handle); }
};
struct OptionsFree {
    void operator()(heif_encoding_options* options) const { heif_encoding_options_free(options); }
};

using Context = std::unique_ptr<heif_context, ContextFree>;
using Encoder = std::unique_ptr<heif_encoder, EncoderRelease>;
using Image = std::unique_ptr<heif_image, ImageRelease>;
using Handle = std::unique_ptr<heif_image_handle, HandleRelease>;
using Options = std::unique_ptr<heif_encoding_options, OptionsFree>;

bool ok(const heif_error& error) { return error.code == heif_error_Ok; }

// Loads libheif's plug-ins once for the process (libvips may already have done so; the calls
// are counted and harmless).
void start() {
    static const bool started = ok(heif_init(nullptr));
    (void)started;
}

// The x265 encoder when it is there, otherwise libheif's first choice for HEVC.
Encoder hevcEncoder(heif_context* context) {
    std::array<const heif_encoder_descriptor*, 8> descriptors{};
    const int count = heif_context_get_encoder_descriptors(context, heif_compression_HEVC, nullptr, descriptors.data(),
                                                           int(descriptors.size()));
    if (count <= 0) return nullptr;
    const heif_encoder_descriptor* chosen = descriptors[0];
    for (int i = 0; i < count; ++i) {
        const char* id = heif_encoder_descriptor_get_id_name(descriptors[std::size_t(i)]);
        if (id != nullptr && std::string_view(id) == "x265") chosen = descriptors[std::size_t(i)];
    }
    heif_encoder* encoder = nullptr;
    if (!ok(heif_context_get_encoder(context, chosen, &encoder))) return nullptr;
    return Encoder(encoder);
}

// One interleaved 8-bit plane holding the picture's RGB, or RGBA when `withAlpha`.
Image interleavedImage(const VImage& rgba, bool withAlpha) {
    const int width = rgba.width();
    const int height = rgba.height();
    heif_image* created = nullptr;
    if (!ok(heif_image_create(width, height, heif_colorspace_RGB,
                              withAlpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &created))) {
        return nullptr;
    }
    Image image(created);
    if (!ok(heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, 8))) return nullptr;
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    if (plane == nullptr) return nullptr;

    const auto* source = static_cast<const std::uint8_t*>(rgba.data());
    if (source == nullptr) return nullptr;
    const std::size_t sourceStride = std::size_t(width) * 4;
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* from = source + std::size_t(y) * sourceStride;
        std::uint8_t* to = plane + std::size_t(y) * std::size_t(stride);
        if (withAlpha) {
            std::memcpy(to, from, sourceStride);
        } else {
            for (int x = 0; x < width; ++x, from += 4, to += 3) std::memcpy(to, from, 3);
        }
    }
    return image;
}

bool hasTranslucentPixels(const VImage& rgba) {
    const auto* pixels = static_cast<const std::uint8_t*>(rgba.data());
    const std::size_t count = std::size_t(rgba.width()) * std::size_t(rgba.height());
    for (std::size_t i = 0; i < count; ++i) {
        if (pixels[i * 4 + 3] != 255) return true;
    }
    return false;
}

// The picture as HEIC: 8-bit 4:2:0 HEVC at libheif quality `quality` (1…100) with the x265
// preset `preset`, alpha as an auxiliary image only when some pixel is not opaque, libheif's own
// colour signalling (its default nclx), no metadata. False on any failure.
bool write(const Picture& picture, int quality, std::string_view preset, const std::filesystem::path& out) {
    const VImage& rgba = vipsImage(picture);
    if (rgba.bands() != 4 || rgba.format() != VIPS_FORMAT_UCHAR) return false;
    // The picture is held fully computed in memory; this only reaches its pixels.
    if (rgba.data() == nullptr) return false;
    const bool withAlpha = hasTranslucentPixels(rgba);

    Context context(heif_context_alloc());
    if (!context) return false;
    Encoder encoder = hevcEncoder(context.get());
    if (!encoder) return false;
    const std::string presetName(preset);
    if (!ok(heif_encoder_set_lossy_quality(encoder.get(), quality)) ||
        !ok(heif_encoder_set_parameter_string(encoder.get(), "preset", presetName.c_str())) ||
        !ok(heif_encoder_set_parameter_string(encoder.get(), "chroma", "420"))) {
        return false;
    }

    Image image = interleavedImage(rgba, withAlpha);
    if (!image) return false;

    Options options(heif_encoding_options_alloc());
    if (!options) return false;
    options->save_alpha_channel = withAlpha ? 1 : 0;

    heif_image_handle* encoded = nullptr;
    if (!ok(heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(), &encoded))) {
        return false;
    }
    const Handle handle(encoded);

    // Written to memory first: libheif's own file writer does not report a file it cannot open.
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, std::size_t size, void* userdata) {
        auto* bytes = static_cast<Bytes*>(userdata);
        const auto* from = static_cast<const std::uint8_t*>(data);
        bytes->insert(bytes->end(), from, from + size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
    };
    Bytes file;
    if (!ok(heif_context_write(context.get(), &writer, &file))) return false;
    return writeFile(out, file);
}

}  // namespace heif

}  // namespace

std::optional<EncodeFailure> writeLossy(const Picture& picture, OutputFormat format, int quality,
                                        const std::filesystem::path& out) {
    if (format == OutputFormat::heic) return writeHeic(picture, quality, HeicPreset{heicPreset}, out);
    return writeLossy(picture, format, quality, Effort{avifEffort}, out);
}

std::optional<EncodeFailure> writeLossy(const Picture& picture, OutputFormat format, int quality, Effort effort,
                                        const std::filesystem::path& out) {
    if (format != OutputFormat::avif && format != OutputFormat::heic) {
        throw std::invalid_argument("PlatformWriter::writeLossy writes AVIF or HEIC only");
    }
    if (picture.isNull()) throw std::invalid_argument("PlatformWriter::writeLossy needs a picture");
    if (format == OutputFormat::heic) return writeHeic(picture, quality, HeicPreset{heicPreset}, out);
    VipsRuntime::start();
    try {
        VImage image = vipsImage(picture);
        if (image.bands() == 4 && image.extract_band(3).min() == 255.0) {
            image = image.extract_band(0, VImage::option()->set("n", 3));
        }
        image.heifsave(out.c_str(), VImage::option()
                                        ->set("Q", std::clamp(quality, 1, 100))
                                        ->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1)
                                        ->set("effort", std::clamp(effort.value, 0, 9))
                                        ->set("bitdepth", 8)
                                        ->set("strip", true));
    } catch (const vips::VError&) {
        removeQuietly(out);
        return imageIOFailure(format);
    }
    return std::nullopt;
}

std::optional<EncodeFailure> writeHeic(const Picture& picture, int quality, HeicPreset preset,
                                       const std::filesystem::path& out) {
    if (picture.isNull()) throw std::invalid_argument("PlatformWriter::writeHeic needs a picture");
    VipsRuntime::start();
    heif::start();
    const std::optional<EncodeFailure> failure = heif::write(picture, std::clamp(quality, 1, 100), preset.name, out)
                                                     ? std::nullopt
                                                     : std::optional(imageIOFailure(OutputFormat::heic));
    if (failure) removeQuietly(out);
    return failure;
}

std::optional<EncodeFailure> writeTiff(const std::filesystem::path& source, TIFFCompression compression,
                                       const std::filesystem::path& out) {
    VipsRuntime::start();
    int pageCount = 1;
    bool isTiff = false;
    try {
        const VImage header = VImage::new_from_file(source.c_str());
        isTiff = header.get_typeof("vips-loader") != 0 && std::string_view(header.get_string("vips-loader")) == "tiffload";
        if (isTiff && header.get_typeof("n-pages") != 0) pageCount = std::max(1, header.get_int("n-pages"));
    } catch (const vips::VError&) {
        throw ToolError::unreadable(source);
    }
    std::vector<tiff::PageLayout> layouts = isTiff ? tiff::readPageLayouts(source) : std::vector<tiff::PageLayout>{};
    if (layouts.size() != std::size_t(pageCount)) layouts.clear();  // pages we cannot match up with certainty

    Bytes file;
    bool decodeFailed = false;
    for (int index = 0; index < pageCount; ++index) {
        VImage page;
        try {
            page = isTiff ? VImage::tiffload(source.c_str(), VImage::option()->set("page", index)->set("n", 1))
                          : VImage::new_from_file(source.c_str());
            page = page.copy_memory();
        } catch (const vips::VError&) {
            decodeFailed = true;
            break;
        }
        const std::optional<tiff::PageLayout> layout =
            std::size_t(index) < layouts.size() ? std::optional(layouts[std::size_t(index)]) : std::nullopt;
        Bytes encoded;
        try {
            const VImage stored = keepingOnlyMetadata(page, {"icc-profile-data", "orientation", "resolution-unit"});
            encoded = blobBytes(stored.tiffsave_buffer(tiffPageOptions(stored, compression, layout)));
        } catch (const vips::VError&) {
            return imageIOFailure(OutputFormat::tiff);
        }
        if (file.empty()) {
            file = std::move(encoded);
        } else if (!tiff::append(file, encoded)) {
            return imageIOFailure(OutputFormat::tiff);
        }
    }

    if (!file.empty() && !writeFile(out, file)) {
        removeQuietly(out);
        return imageIOFailure(OutputFormat::tiff);
    }
    if (decodeFailed) throw ToolError::unreadable(source);
    return std::nullopt;
}

std::optional<EncodeFailure> writeIcns(const std::filesystem::path& source, const std::filesystem::path& out) {
    IcnsFile family;
    try {
        family = IcnsFile::read(source);
    } catch (const IcnsError&) {
        throw ToolError::unreadable(source);
    }
    if (family.imageCount() == 0) return imageIOFailure(OutputFormat::icns);
    try {
        IcnsFile::write(IcnsFile::recompressed(family), out);
    } catch (const IcnsError&) {
        return imageIOFailure(OutputFormat::icns);
    }
    return std::nullopt;
}

}  // namespace dorvex::PlatformWriter
