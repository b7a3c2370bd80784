#include "image/encoders/MetadataWriter.h"

#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <jpeglib.h>
#include <webp/mux.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

namespace dorvex::MetadataWriter {

namespace {

using Bytes = ImageMetadata::Bytes;

std::optional<Bytes> readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

bool writeFile(const std::filesystem::path& file, const Bytes& bytes) {
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (out && out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size())) && (out.close(), out)) {
            return true;
        }
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    return false;
}

// EXIF as libvips and JPEG hold it starts "Exif\0\0"; PNG's eXIf and WebP's EXIF chunk hold the
// TIFF structure alone.
constexpr std::string_view exifHeader{"Exif\0\0", 6};

Bytes tiffStructure(const Bytes& exif) {
    const bool headed = exif.size() > exifHeader.size() && std::equal(exifHeader.begin(), exifHeader.end(), exif.begin());
    return headed ? Bytes(exif.begin() + std::ptrdiff_t(exifHeader.size()), exif.end()) : exif;
}

// ---- JPEG -------------------------------------------------------------------------------------

// XMP in a JPEG: an APP1 segment led by this namespace name and a zero byte.
constexpr std::string_view xmpNamespace{"http://ns.adobe.com/xap/1.0/\0", 29};
// What one marker segment holds besides its length field.
constexpr std::size_t maxSegment = 65533;

struct JpegError {
    jpeg_error_mgr manager;
    std::jmp_buf jump;
};

[[noreturn]] void jpegFailed(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1); }
void jpegQuiet(j_common_ptr) {}

void useErrors(JpegError& error) {
    jpeg_std_error(&error.manager);
    error.manager.error_exit = jpegFailed;
    error.manager.output_message = jpegQuiet;
}

// The libjpeg state of one rewrite; plain data, so that a long jump out of libjpeg leaves
// nothing to unwind.
struct JpegRewrite {
    const Bytes* source = nullptr;
    const ImageMetadata* metadata = nullptr;
    std::vector<jpeg_scan_info> scans;
    JpegError error{};
    jpeg_decompress_struct in{};
    jpeg_compress_struct out{};
    unsigned char* written = nullptr;  // malloc'ed by libjpeg's memory destination
    unsigned long writtenSize = 0;
};

void recordScan(JpegRewrite& rewrite) {
    const jpeg_decompress_struct& in = rewrite.in;
    jpeg_scan_info scan{};
    scan.comps_in_scan = in.comps_in_scan;
    for (int i = 0; i < in.comps_in_scan && i < MAX_COMPS_IN_SCAN; ++i) {
        scan.component_index[i] = in.cur_comp_info[i]->component_index;
    }
    scan.Ss = in.Ss;
    scan.Se = in.Se;
    scan.Ah = in.Ah;
    scan.Al = in.Al;
    rewrite.scans.push_back(scan);
}

// The scans of the file as the encoder laid them out (mozjpeg picks them per picture), read
// from their headers in buffered-image mode without decoding a pixel.
bool readScans(JpegRewrite& rewrite) {
    rewrite.in.err = &rewrite.error.manager;
    if (setjmp(rewrite.error.jump) != 0) {
        jpeg_destroy_decompress(&rewrite.in);
        return false;
    }
    jpeg_create_decompress(&rewrite.in);
    jpeg_mem_src(&rewrite.in, rewrite.source->data(), static_cast<unsigned long>(rewrite.source->size()));
    jpeg_read_header(&rewrite.in, TRUE);
    rewrite.in.buffered_image = TRUE;
    jpeg_start_decompress(&rewrite.in);
    recordScan(rewrite);  // the header reading stopped at the first scan's header
    for (;;) {
        const int step = jpeg_consume_input(&rewrite.in);
        if (step == JPEG_REACHED_SOS) recordScan(rewrite);
        if (step == JPEG_REACHED_EOI || step == JPEG_SUSPENDED) break;
    }
    const bool complete = jpeg_input_complete(&rewrite.in) != 0;
    jpeg_destroy_decompress(&rewrite.in);
    return complete;
}

void writeMarker(j_compress_ptr out, int marker, std::string_view lead, const Bytes& payload) {
    if (payload.empty() || lead.size() + payload.size() > maxSegment) return;
    jpeg_write_m_header(out, marker, unsigned(lead.size() + payload.size()));
    for (const char c : lead) jpeg_write_m_byte(out, static_cast<unsigned char>(c));
    for (const std::uint8_t byte : payload) jpeg_write_m_byte(out, byte);
}

// The same coefficients, quantisation, sampling and scans, with the metadata segments after the
// JFIF segment; Huffman tables optimised again, as the encoder had them.
bool rewriteJpeg(JpegRewrite& rewrite) {
    rewrite.in.err = &rewrite.error.manager;
    rewrite.out.err = &rewrite.error.manager;
    if (setjmp(rewrite.error.jump) != 0) {
        jpeg_destroy_compress(&rewrite.out);
        jpeg_destroy_decompress(&rewrite.in);
        return false;
    }
    jpeg_create_decompress(&rewrite.in);
    jpeg_create_compress(&rewrite.out);
    jpeg_mem_src(&rewrite.in, rewrite.source->data(), static_cast<unsigned long>(rewrite.source->size()));
    jpeg_read_header(&rewrite.in, TRUE);
    jvirt_barray_ptr* coefficients = jpeg_read_coefficients(&rewrite.in);
    jpeg_copy_critical_parameters(&rewrite.in, &rewrite.out);
    rewrite.out.optimize_coding = TRUE;
    if (!rewrite.scans.empty()) {
        rewrite.out.scan_info = rewrite.scans.data();
        rewrite.out.num_scans = int(rewrite.scans.size());
    } else if (rewrite.in.progressive_mode) {
        jpeg_simple_progression(&rewrite.out);
    }
    jpeg_mem_dest(&rewrite.out, &rewrite.written, &rewrite.writtenSize);
    jpeg_write_coefficients(&rewrite.out, coefficients);

    const ImageMetadata& metadata = *rewrite.metadata;
    writeMarker(&rewrite.out, JPEG_APP0 + 1, {}, metadata.exif);
    writeMarker(&rewrite.out, JPEG_APP0 + 1, xmpNamespace, metadata.xmp);
    if (!metadata.icc.empty()) {
        jpeg_write_icc_profile(&rewrite.out, metadata.icc.data(), unsigned(metadata.icc.size()));
    }
    jpeg_finish_compress(&rewrite.out);
    jpeg_finish_decompress(&rewrite.in);
    jpeg_destroy_compress(&rewrite.out);
    jpeg_destroy_decompress(&rewrite.in);
    return true;
}

std::optional<Bytes> jpegWith(const Bytes& jpeg, const ImageMetadata& metadata) {
    JpegRewrite rewrite;
    rewrite.source = &jpeg;
    rewrite.metadata = &metadata;
    useErrors(rewrite.error);
    if (!readScans(rewrite) || rewrite.scans.empty()) return std::nullopt;
    rewrite.in = jpeg_decompress_struct{};
    bool rewritten = rewriteJpeg(rewrite);
    if (!rewritten) {
        // A layout libjpeg does not write (a camera's own scan script): its standard one instead.
        std::free(rewrite.written);
        rewrite.written = nullptr;
        rewrite.writtenSize = 0;
        rewrite.scans.clear();
        rewrite.in = jpeg_decompress_struct{};
        rewrite.out = jpeg_compress_struct{};
        rewritten = rewriteJpeg(rewrite);
    }
    const std::unique_ptr<unsigned char, decltype(&std::free)> owned(rewrite.written, &std::free);
    if (!rewritten || rewrite.written == nullptr) return std::nullopt;
    return Bytes(rewrite.written, rewrite.written + rewrite.writtenSize);
}

// ---- PNG --------------------------------------------------------------------------------------

// The file as pngquant (or any encoder) wrote it, chunk by chunk, with the kept metadata's chunks
// after IHDR: iCCP (its profile deflated at zlib's strongest level), eXIf, and the XMP packet in
// an uncompressed iTXt chunk. The image data is copied, never decoded again. Chunks the added ones
// replace are left out: an earlier iCCP, eXIf or XMP packet, and with a profile the sRGB, gAMA and
// cHRM chunks that it overrides. Nullopt for anything but a well-formed PNG that starts with IHDR.
constexpr std::string_view pngSignature{"\x89PNG\r\n\x1a\n", 8};
constexpr std::string_view xmpKeyword{"XML:com.adobe.xmp"};

std::uint32_t bigEndian(const unsigned char* bytes) {
    return std::uint32_t(bytes[0]) << 24 | std::uint32_t(bytes[1]) << 16 | std::uint32_t(bytes[2]) << 8 | bytes[3];
}

void appendChunk(Bytes& out, std::string_view type, const Bytes& data) {
    const std::uint32_t length = std::uint32_t(data.size());
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(length >> shift));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data.begin(), data.end());
    const auto crc = static_cast<std::uint32_t>(::crc32(0, out.data() + typeAt, uInt(out.size() - typeAt)));
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(crc >> shift));
}

void append(Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

std::optional<Bytes> iccpData(const Bytes& profile) {
    Bytes data;
    append(data, std::string_view("ICC profile\0\0", 13));  // name, its end, deflate
    uLongf size = compressBound(uLong(profile.size()));
    const std::size_t at = data.size();
    data.resize(at + size);
    if (::compress2(data.data() + at, &size, profile.data(), uLong(profile.size()), Z_BEST_COMPRESSION) != Z_OK) {
        return std::nullopt;
    }
    data.resize(at + size);
    return data;
}

std::optional<Bytes> pngWith(const Bytes& png, const ImageMetadata& metadata) {
    if (png.size() < pngSignature.size() || std::memcmp(png.data(), pngSignature.data(), pngSignature.size()) != 0) {
        return std::nullopt;
    }
    Bytes added;
    if (!metadata.icc.empty()) {
        const std::optional<Bytes> iccp = iccpData(metadata.icc);
        if (!iccp) return std::nullopt;
        appendChunk(added, "iCCP", *iccp);
    }
    if (!metadata.exif.empty()) appendChunk(added, "eXIf", tiffStructure(metadata.exif));
    if (!metadata.xmp.empty()) {
        Bytes itxt;
        append(itxt, xmpKeyword);
        append(itxt, std::string_view("\0\0\0\0\0", 5));  // its end, uncompressed, no language or translation
        itxt.insert(itxt.end(), metadata.xmp.begin(), metadata.xmp.end());
        appendChunk(added, "iTXt", itxt);
    }

    Bytes out(png.begin(), png.begin() + std::ptrdiff_t(pngSignature.size()));
    out.reserve(png.size() + added.size());
    std::size_t at = pngSignature.size();
    bool first = true;
    while (at < png.size()) {
        if (png.size() - at < 12) return std::nullopt;
        const std::uint32_t length = bigEndian(png.data() + at);
        if (length > png.size() - at - 12) return std::nullopt;
        const std::string_view type(reinterpret_cast<const char*>(png.data() + at + 4), 4);
        const unsigned char* data = png.data() + at + 8;
        const std::size_t whole = std::size_t(length) + 12;
        if (first != (type == "IHDR")) return std::nullopt;
        const bool replaced =
            (type == "iCCP" && !metadata.icc.empty()) ||
            ((type == "sRGB" || type == "gAMA" || type == "cHRM") && !metadata.icc.empty()) ||
            (type == "eXIf" && !metadata.exif.empty()) ||
            (type == "iTXt" && !metadata.xmp.empty() && length > xmpKeyword.size() &&
             std::string_view(reinterpret_cast<const char*>(data), xmpKeyword.size() + 1) ==
                 std::string_view("XML:com.adobe.xmp\0", xmpKeyword.size() + 1));
        if (!replaced) out.insert(out.end(), png.begin() + std::ptrdiff_t(at), png.begin() + std::ptrdiff_t(at + whole));
        if (first) out.insert(out.end(), added.begin(), added.end());
        first = false;
        at += whole;
        if (type == "IEND") break;
    }
    if (first) return std::nullopt;
    return out;
}

// ---- WebP -------------------------------------------------------------------------------------

std::optional<Bytes> webpWith(const Bytes& webp, const ImageMetadata& metadata) {
    const WebPData input{webp.data(), webp.size()};
    const std::unique_ptr<WebPMux, decltype(&WebPMuxDelete)> mux(WebPMuxCreate(&input, 0), &WebPMuxDelete);
    if (!mux) return std::nullopt;
    const Bytes exif = tiffStructure(metadata.exif);
    const auto set = [&](const char* fourcc, const Bytes& payload) {
        const WebPData chunk{payload.data(), payload.size()};
        return payload.empty() || WebPMuxSetChunk(mux.get(), fourcc, &chunk, 1) == WEBP_MUX_OK;
    };
    if (!set("EXIF", exif) || !set("XMP ", metadata.xmp) || !set("ICCP", metadata.icc)) return std::nullopt;
    WebPData assembled;
    WebPDataInit(&assembled);
    if (WebPMuxAssemble(mux.get(), &assembled) != WEBP_MUX_OK) return std::nullopt;
    Bytes bytes(assembled.bytes, assembled.bytes + assembled.size);
    WebPDataClear(&assembled);
    return bytes;
}

}  // namespace

bool add(const std::filesystem::path& file, OutputFormat format, const ImageMetadata& metadata) {
    const bool handled = format == OutputFormat::jpeg || format == OutputFormat::png || format == OutputFormat::webp;
    if (metadata.empty() || !handled) return true;
    const std::optional<Bytes> bytes = readFile(file);
    if (!bytes) return false;
    std::optional<Bytes> with;
    if (format == OutputFormat::jpeg) with = jpegWith(*bytes, metadata);
    if (format == OutputFormat::png) with = pngWith(*bytes, metadata);
    if (format == OutputFormat::webp) with = webpWith(*bytes, metadata);
    return with && writeFile(file, *with);
}

bool rewriteJpeg(const std::filesystem::path& from, const std::filesystem::path& to, const ImageMetadata& metadata) {
    const std::optional<Bytes> bytes = readFile(from);
    if (!bytes) return false;
    const std::optional<Bytes> with = jpegWith(*bytes, metadata);
    return with && writeFile(to, *with);
}

}  // namespace dorvex::MetadataWriter
