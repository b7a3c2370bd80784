#pragma once
// WorkerProtocol: what the engine and a worker process say to each other over their socket pair.
// Every message is one frame: a 4-byte length (little-endian) and that many bytes of CBOR (an
// object). CBOR rather than JSON text: paths and tool messages are bytes, not always UTF-8, and a
// thumbnail's pixels travel as one binary string.
//
// Engine → worker: {"job": id, "kind": "image"|"pdf"|"video", "source", "options", "tools"},
//                  {"thumbnail": id, "source", "maxSide"}, {"libraries": id}, {"cancel": id}.
// Worker → engine: {"ready": {"applied": […], "missing": […]}} once, when it has confined itself;
//                  {"event": …} any number of times during a job; {"result": …, "handoff": bool}
//                  ends a job (handoff: the output stands at the worker's hand-off name);
//                  {"thumbnail": {"width", "height", "decodeShrink", "rgba"} or null} ends one;
//                  {"libraries": […]} answers the libraries' versions.
// Whatever a worker sends is untrusted: decoding checks every field, and anything else is a
// ProtocolError (the engine then treats the worker as broken).

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "dorvex/engine/LibraryVersions.h"
#include "dorvex/image/Thumbnail.h"
#include "dorvex/image/Toolchain.h"
#include "dorvex/model/CompressionEvent.h"
#include "dorvex/model/CompressionOptions.h"
#include "dorvex/model/CompressionResult.h"

namespace dorvex::WorkerProtocol {

using Message = nlohmann::json;

// A frame larger than this is refused (a thumbnail of 4096² pixels fits with room to spare).
inline constexpr std::uint32_t maxFrameBytes = 96u << 20;

// The name, in a worker's own folder, where a job's output is handed over.
inline constexpr const char* handoffName = "output";

struct ProtocolError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

enum class JobKind { image, pdf, video };

struct JobRequest {
    std::uint64_t id = 0;
    JobKind kind = JobKind::image;
    std::filesystem::path source;
    CompressionOptions options;
    Toolchain tools;
};

// Blocking write of one frame; false when the peer is gone.
bool send(int socket, const Message& message);

// Frames as they arrive on a non-blocking socket.
class FrameReader {
public:
    enum class Status { message, waiting, closed };
    // Reads what is there without blocking and returns the next whole message when there is one.
    // Throws ProtocolError for a frame that is too large or not a CBOR object.
    Status next(int socket, Message& message);

private:
    std::string buffer_;
    bool closed_ = false;
};

// Blocking read of the next whole message; nullopt when the peer is gone. Throws ProtocolError.
std::optional<Message> receive(int socket);

Message encode(const JobRequest& request);
JobRequest decodeJob(const Message& message);
Message encode(const CompressionEvent& event);
CompressionEvent decodeEvent(const Message& message);
Message encode(const CompressionResult& result);  // everything but the output, which the engine sets
CompressionResult decodeResult(const Message& message);
Message encode(const std::optional<Thumbnail>& thumbnail);
std::optional<Thumbnail> decodeThumbnail(const Message& message);
Message encode(const std::vector<LibraryVersions::Library>& libraries);
std::vector<LibraryVersions::Library> decodeLibraries(const Message& message);

}  // namespace dorvex::WorkerProtocol
