#include "image/encoders/IcnsFile.h"

#include <cstring>
#include <fstream>
#include <limits>
#include <stdexcept>
#include <system_error>

#include "image/encoders/IcnsFormat.h"

namespace dorvex {

using namespace IcnsFormat;

std::vector<std::uint8_t> IcnsFile::serialize() const {
    constexpr std::size_t maxLength = std::numeric_limits<std::uint32_t>::max();
    std::size_t total = elementHeaderBytes;
    for (const IcnsElement& element : elements) {
        if (element.type.size() != 4) throw std::invalid_argument("ICNS element type must be four bytes");
        if (element.data.size() > maxLength - elementHeaderBytes - total) {
            throw std::invalid_argument("ICNS family exceeds 4 GiB");
        }
        total += elementHeaderBytes + element.data.size();
    }

    Bytes out;
    out.reserve(total);
    auto appendHeader = [&out](std::string_view type, std::size_t length) {
        out.insert(out.end(), type.begin(), type.end());
        out.resize(out.size() + 4);
        writeBigEndian32(out.data() + out.size() - 4, std::uint32_t(length));
    };
    appendHeader("icns", total);
    for (const IcnsElement& element : elements) {
        appendHeader(element.type, elementHeaderBytes + element.data.size());
        const std::size_t payloadAt = out.size();
        out.insert(out.end(), element.data.begin(), element.data.end());
        if (element.type != tableOfContentsType || element.data.size() % 8 != 0) continue;

        // Each entry names a type and that element's length; the k-th entry of a type stands for
        // the k-th element of that type.
        for (std::size_t entry = 0; entry < element.data.size(); entry += 8) {
            const std::string_view type(reinterpret_cast<const char*>(element.data.data() + entry), 4);
            std::size_t occurrence = 0;
            for (std::size_t earlier = 0; earlier < entry; earlier += 8) {
                if (std::memcmp(element.data.data() + earlier, type.data(), 4) == 0) ++occurrence;
            }
            for (const IcnsElement& listed : elements) {
                if (listed.type != type || listed.type == tableOfContentsType) continue;
                if (occurrence-- > 0) continue;
                writeBigEndian32(out.data() + payloadAt + entry + 4,
                                 std::uint32_t(elementHeaderBytes + listed.data.size()));
                break;
            }
        }
    }
    return out;
}

void IcnsFile::write(const IcnsFile& icns, const std::filesystem::path& file) {
    const Bytes bytes = icns.serialize();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        if (out) out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
        if (out) out.close();
        if (out) return;
    }
    std::error_code ignored;
    std::filesystem::remove(file, ignored);
    throw IcnsError::writeFailed(file);
}

}  // namespace dorvex
