// XMP packets read from users' files, as an output keeps them without the location. Any bytes give
// a packet or nothing; a packet that is kept is well-formed and holds no place any more, so
// filtering it again changes nothing; keeping everything keeps every byte.

#include <cstddef>
#include <cstdint>

#include "FuzzCheck.h"
#include "image/ImageMetadata.h"

using namespace dorvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const ImageMetadata::Bytes packet(data, data + size);
    const ImageMetadata::Bytes kept = ImageMetadataRules::xmp(packet, MetadataPolicy::keepWithoutLocation);
    if (!kept.empty()) {
        fuzz::check(ImageMetadataRules::xmp(kept, MetadataPolicy::keepWithoutLocation) == kept,
                    "a kept packet parses again and holds no place");
    }
    fuzz::check(ImageMetadataRules::xmp(packet, MetadataPolicy::keepAll) == packet, "keeping all keeps every byte");
    return 0;
}
