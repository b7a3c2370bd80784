#pragma once
// PDFStreamBound: private to the PDF filter. How much one stream may decode to before we leave
// it alone. A few kilobytes of Flate can inflate to gigabytes; every decoding we do goes through
// a guard that stops at the bound, so that a hostile stream costs at most its bound in memory
// and time, and stays in the document exactly as it was.

#include <qpdf/Pipeline.hh>
#include <qpdf/QPDFObjectHandle.hh>
#include <qpdf/Constants.h>

#include <cstddef>
#include <optional>
#include <stdexcept>

namespace dorvex::PDFStreamBound {

// Content streams and forms that the survey reads, and any other stream it recompresses.
inline constexpr std::size_t maxContentBytes = std::size_t(64) << 20;
// What the survey decodes in all, across pages and forms drawn many times over.
inline constexpr std::size_t maxSurveyBytes = std::size_t(1) << 30;
// Image samples decoded into memory: a few times width × height × components, never more than this.
inline constexpr std::size_t maxImageBytes = std::size_t(1) << 28;

// Thrown by a Guard whose bound was passed.
struct TooLarge : std::length_error {
    TooLarge() : std::length_error("stream decodes to more than its bound") {}
};

// Passes data on to the next stage until `limit` bytes went through, then throws TooLarge.
class Guard : public Pipeline {
public:
    Guard(Pipeline* sink, std::size_t limit) : Pipeline("stream bound", sink), limit_(limit) {}
    void write(unsigned char const* data, size_t length) override;
    void finish() override;
    std::size_t total() const { return total_; }

private:
    std::size_t limit_;
    std::size_t total_ = 0;
};

// The bound for the decoded samples of an image of `width` × `height` × `components`: twice
// that, and a little, for rows padded or data left over; at most maxImageBytes.
std::size_t imageBound(long long width, long long height, int components);

// What a stream decodes to (all filters qpdf knows, as the writer would), without keeping it:
// nullopt when it decodes to more than `limit` bytes or cannot be decoded at all.
std::optional<std::size_t> decodedSize(QPDFObjectHandle stream, std::size_t limit,
                                       qpdf_stream_decode_level_e level = qpdf_dl_generalized);

}  // namespace dorvex::PDFStreamBound
