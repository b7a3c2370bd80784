// What travels between the engine and a worker: a result's perceptual score, and the option that
// turns scoring off, survive the trip; a message from a worker that knows no score still decodes.

#include "engine/worker/WorkerProtocol.h"

#include <gtest/gtest.h>

namespace dorvex {
namespace {

using namespace WorkerProtocol;

TEST(WorkerProtocol, PerceptualScoreTravelsAndMayBeAbsent) {
    CompressionResult scored;
    scored.status = CompressionResult::Success{};
    scored.format = OutputFormat::jpeg;
    scored.perceptual = PerceptualScore{1.25, 0.4375};
    EXPECT_EQ(decodeResult(encode(scored)).perceptual, scored.perceptual);

    Message old = encode(scored);
    old.erase("perceptual");
    EXPECT_EQ(decodeResult(old).perceptual, std::nullopt);
    old["perceptual"] = nullptr;
    EXPECT_EQ(decodeResult(old).perceptual, std::nullopt);
    old["perceptual"] = {{"butteraugli", "much"}};
    EXPECT_THROW(decodeResult(old), ProtocolError);

    JobRequest request;
    request.source = "/photos/a.jpg";
    request.options.perceptualScore = false;
    EXPECT_FALSE(decodeJob(encode(request)).options.perceptualScore);
}

}  // namespace
}  // namespace dorvex
