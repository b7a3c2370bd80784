#pragma once
// EncoderOutput: private to the video pass. An open encoder and the output stream it feeds, and
// the Step a pump reports after each unit of work.

#include <limits>

#include "video/ffmpeg/FFmpegSupport.h"

namespace dorvex::VideoEncoder {

struct Pass;

// One step of a pump: whether the encoder took data, the source time reached, whether it is done.
struct Step {
    bool appended = false;
    double sourceSeconds = std::numeric_limits<double>::quiet_NaN();
    bool finished = false;
};

// An open encoder and the output stream it feeds: frames in, packets written to the muxer.
// Failures are recorded in the pass status.
class EncoderOutput {
public:
    explicit EncoderOutput(Pass& pass) : pass_(pass) {}

    bool encode(AVFrame* frame);  // false: failed (recorded)
    bool finish();                // nothing more comes; false when the encoder refuses
    Step flushStep();             // one delayed packet per step, so that the watchdog sees them

    ffmpeg::Codec context;
    AVStream* stream = nullptr;

private:
    bool drainOne(bool& gotPacket);  // one packet from the encoder, written

    Pass& pass_;
    ffmpeg::Packet packet_ = ffmpeg::makePacket();
};

}  // namespace dorvex::VideoEncoder
