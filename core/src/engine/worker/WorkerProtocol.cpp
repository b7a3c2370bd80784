#include "engine/worker/WorkerProtocol.h"

#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <algorithm>

#include "dorvex/model/DecodingError.h"
#include "platform/CopyBytes.h"

namespace dorvex::WorkerProtocol {

namespace {

using Json = Message;

std::array<char, 4> lengthBytes(std::uint32_t length) {
    return {char(length & 0xff), char((length >> 8) & 0xff), char((length >> 16) & 0xff), char(length >> 24)};
}

std::uint32_t lengthOf(const char* bytes) {
    const auto byte = [bytes](int i) { return std::uint32_t(static_cast<unsigned char>(bytes[i])); };
    return byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
}

Message parse(const char* bytes, std::size_t size) {
    Message message = Message::from_cbor(bytes, bytes + size, true, false);
    if (message.is_discarded() || !message.is_object()) throw ProtocolError("a message that is no CBOR object");
    return message;
}

// Field access for what a worker sent: a missing key or a wrong type is a ProtocolError.
const Json& field(const Json& object, const char* key) {
    if (!object.is_object()) throw ProtocolError(std::string("no object around \"") + key + "\"");
    const auto found = object.find(key);
    if (found == object.end()) throw ProtocolError(std::string("no \"") + key + "\"");
    return *found;
}

template <typename T>
T value(const Json& object, const char* key) {
    try {
        return field(object, key).get<T>();
    } catch (const nlohmann::json::exception&) {
        throw ProtocolError(std::string("\"") + key + "\" of the wrong type");
    }
}

template <typename T>
std::optional<T> optionalValue(const Json& object, const char* key) {
    if (!object.contains(key) || object.at(key).is_null()) return std::nullopt;
    return value<T>(object, key);
}

template <typename Enum, typename Parse>
Enum enumeration(const Json& object, const char* key, Parse parse) {
    const std::optional<Enum> parsed = parse(value<std::string>(object, key));
    if (!parsed) throw ProtocolError(std::string("an unknown \"") + key + "\"");
    return *parsed;
}

Json size(PixelSize s) { return Json::array({s.width, s.height}); }

PixelSize sizeFrom(const Json& object, const char* key) {
    const auto pair = value<std::array<int, 2>>(object, key);
    return PixelSize{pair[0], pair[1]};
}

std::optional<PixelSize> optionalSize(const Json& object, const char* key) {
    if (!object.contains(key) || object.at(key).is_null()) return std::nullopt;
    return sizeFrom(object, key);
}

template <typename T>
Json orNull(const std::optional<T>& v) {
    return v ? Json(*v) : Json(nullptr);
}

Json orNull(const std::optional<PixelSize>& v) { return v ? size(*v) : Json(nullptr); }

constexpr std::array<const char*, 3> kindNames{"image", "pdf", "video"};

}  // namespace

bool send(int socket, const Message& message) {
    const std::vector<std::uint8_t> body = Message::to_cbor(message);
    if (body.size() > maxFrameBytes) return false;
    const std::array<char, 4> head = lengthBytes(std::uint32_t(body.size()));
    std::string frame(head.data(), head.size());
    frame.append(reinterpret_cast<const char*>(body.data()), body.size());
    // MSG_NOSIGNAL: a peer that is gone is a false return, not a SIGPIPE.
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::send(socket, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

FrameReader::Status FrameReader::next(int socket, Message& message) {
    while (true) {
        if (buffer_.size() >= 4) {
            const std::uint32_t length = lengthOf(buffer_.data());
            if (length > maxFrameBytes) throw ProtocolError("a frame larger than allowed");
            if (buffer_.size() >= 4 + std::size_t(length)) {
                message = parse(buffer_.data() + 4, length);
                buffer_.erase(0, 4 + std::size_t(length));
                return Status::message;
            }
        }
        if (closed_) return Status::closed;
        char chunk[65536];
        const ssize_t n = ::recv(socket, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            buffer_.append(chunk, std::size_t(n));
        } else if (n == 0) {
            closed_ = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            return Status::waiting;
        } else {
            closed_ = true;
        }
    }
}

std::optional<Message> receive(int socket) {
    char head[4];
    if (!readExactly(socket, head, sizeof head)) return std::nullopt;
    const std::uint32_t length = lengthOf(head);
    if (length > maxFrameBytes) throw ProtocolError("a frame larger than allowed");
    std::string body(length, '\0');
    if (!readExactly(socket, body.data(), length)) return std::nullopt;
    return parse(body.data(), body.size());
}

Message encode(const JobRequest& request) {
    nlohmann::ordered_json options;
    to_json(options, request.options);
    Json tools = Json::object();
    for (const Toolchain::ToolInfo& tool : Toolchain::tools) {
        tools[std::string(tool.fileName)] = orNull(request.tools.path(tool.tool));
    }
    return Json{{"job", request.id},
                {"kind", kindNames[std::size_t(request.kind)]},
                {"source", request.source.native()},
                {"options", Json(options)},
                {"tools", tools}};
}

JobRequest decodeJob(const Message& message) {
    JobRequest request;
    request.id = value<std::uint64_t>(message, "job");
    const std::string kind = value<std::string>(message, "kind");
    const auto found = std::find(kindNames.begin(), kindNames.end(), kind);
    if (found == kindNames.end()) throw ProtocolError("an unknown job kind");
    request.kind = JobKind(found - kindNames.begin());
    request.source = value<std::string>(message, "source");
    try {
        request.options = decodeCompressionOptions(nlohmann::ordered_json(field(message, "options")));
    } catch (const DecodingError& error) {
        throw ProtocolError(error.what());
    }
    const Json& tools = field(message, "tools");
    request.tools.cjpeg = optionalValue<std::string>(tools, "cjpeg");
    request.tools.pngquant = optionalValue<std::string>(tools, "pngquant");
    request.tools.cwebp = optionalValue<std::string>(tools, "cwebp");
    request.tools.cjxl = optionalValue<std::string>(tools, "cjxl");
    return request;
}

Message encode(const CompressionEvent& event) {
    return std::visit(
        [](const auto& e) -> Json {
            using E = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<E, CompressionEvent::Started>) {
                return Json{{"started", size(e.sourcePixelSize)}};
            } else if constexpr (std::is_same_v<E, CompressionEvent::Attempt>) {
                return Json{{"attempt", {{"index", e.index}, {"quality", e.quality}, {"size", orNull(e.pixelSize)},
                                         {"bytes", orNull(e.bytes)}}}};
            } else if constexpr (std::is_same_v<E, CompressionEvent::Progress>) {
                return Json{{"progress", {{"index", e.index}, {"fraction", e.fraction}}}};
            } else {
                const Json rate = std::holds_alternative<VideoRate::Quality>(e.rate.value)
                                      ? Json{{"quality", std::get<VideoRate::Quality>(e.rate.value).value}}
                                      : Json{{"bitrate", std::get<VideoRate::Bitrate>(e.rate.value).bitsPerSecond}};
                return Json{{"videoAttempt", {{"index", e.index}, {"rate", rate}, {"size", orNull(e.pixelSize)},
                                              {"bytes", orNull(e.bytes)}, {"audio", orNull(e.audioBitrate)},
                                              {"frameRate", orNull(e.frameRate)}}}};
            }
        },
        event.value);
}

CompressionEvent decodeEvent(const Message& message) {
    if (message.contains("started")) return {CompressionEvent::Started{sizeFrom(message, "started")}};
    if (message.contains("attempt")) {
        const Json& a = field(message, "attempt");
        return {CompressionEvent::Attempt{value<int>(a, "index"), value<int>(a, "quality"), optionalSize(a, "size"),
                                          optionalValue<std::int64_t>(a, "bytes")}};
    }
    if (message.contains("progress")) {
        const Json& p = field(message, "progress");
        return {CompressionEvent::Progress{value<int>(p, "index"), value<double>(p, "fraction")}};
    }
    const Json& v = field(message, "videoAttempt");
    const Json& rate = field(v, "rate");
    const VideoRate decodedRate = rate.contains("quality") ? VideoRate::quality(value<double>(rate, "quality"))
                                                           : VideoRate::bitrate(value<std::int64_t>(rate, "bitrate"));
    return {CompressionEvent::VideoAttempt{value<int>(v, "index"), decodedRate, optionalSize(v, "size"),
                                           optionalValue<std::int64_t>(v, "bytes"),
                                           optionalValue<std::int64_t>(v, "audio"),
                                           optionalValue<double>(v, "frameRate")}};
}

Message encode(const CompressionResult& r) {
    Json status;
    if (r.isSuccess()) {
        status = {{"success", true}};
    } else if (const auto* skipped = r.skipped()) {
        status = {{"skipped", skipped->reason.rawValue()}};
    } else {
        status = {{"failed", r.failed()->message}, {"detail", r.failed()->detail}};
    }
    return Json{{"status", status},
                {"format", r.format ? Json(r.format->rawValue()) : Json(nullptr)},
                {"sourceBytes", r.sourceBytes},
                {"outputBytes", r.outputBytes},
                {"quality", orNull(r.quality)},
                {"pixelSize", size(r.pixelSize)},
                {"sourcePixelSize", size(r.sourcePixelSize)},
                {"maxSizeMet", orNull(r.maxSizeMet)},
                {"stopReason", r.stopReason ? Json(rawValue(*r.stopReason)) : Json(nullptr)},
                {"encodeCount", r.encodeCount},
                {"warnings", r.warnings},
                {"videoCodec", r.videoCodec ? Json(r.videoCodec->rawValue()) : Json(nullptr)},
                {"duration", orNull(r.duration)},
                {"pageCount", orNull(r.pageCount)},
                {"pdfResolution", orNull(r.pdfResolution)},
                {"perceptual", r.perceptual ? Json{{"butteraugli", r.perceptual->butteraugli},
                                                   {"pnorm3", r.perceptual->pnorm3}}
                                            : Json(nullptr)}};
}

CompressionResult decodeResult(const Message& message) {
    CompressionResult r;
    const Json& status = field(message, "status");
    if (status.contains("success")) {
        r.status = CompressionResult::Success{};
    } else if (status.contains("skipped")) {
        r.status = CompressionResult::Skipped{enumeration<SkipReason>(status, "skipped", SkipReason::fromRawValue)};
    } else {
        r.status = CompressionResult::Failed{value<std::string>(status, "failed"), value<std::string>(status, "detail")};
    }
    if (!message.contains("format") || message.at("format").is_null()) {
        r.format = std::nullopt;
    } else {
        r.format = enumeration<OutputFormat>(message, "format", OutputFormat::fromRawValue);
    }
    r.sourceBytes = value<std::int64_t>(message, "sourceBytes");
    r.outputBytes = value<std::int64_t>(message, "outputBytes");
    r.quality = optionalValue<int>(message, "quality");
    r.pixelSize = sizeFrom(message, "pixelSize");
    r.sourcePixelSize = sizeFrom(message, "sourcePixelSize");
    r.maxSizeMet = optionalValue<bool>(message, "maxSizeMet");
    if (!message.at("stopReason").is_null()) {
        r.stopReason = enumeration<SearchStopReason>(message, "stopReason", stopReasonFromRawValue);
    }
    r.encodeCount = value<int>(message, "encodeCount");
    r.warnings = value<std::vector<std::string>>(message, "warnings");
    if (!message.at("videoCodec").is_null()) {
        r.videoCodec = enumeration<VideoCodec>(message, "videoCodec", VideoCodec::fromRawValue);
    }
    r.duration = optionalValue<double>(message, "duration");
    r.pageCount = optionalValue<int>(message, "pageCount");
    r.pdfResolution = optionalValue<int>(message, "pdfResolution");
    if (message.contains("perceptual") && !message.at("perceptual").is_null()) {
        const Json& p = field(message, "perceptual");
        r.perceptual = PerceptualScore{value<double>(p, "butteraugli"), value<double>(p, "pnorm3")};
    }
    return r;
}

Message encode(const std::optional<Thumbnail>& thumbnail) {
    if (!thumbnail) return Json{{"thumbnail", nullptr}};
    return Json{{"thumbnail",
                 {{"width", thumbnail->width},
                  {"height", thumbnail->height},
                  {"decodeShrink", thumbnail->decodeShrink},
                  {"rgba", Json::binary(thumbnail->rgba)}}}};
}

std::optional<Thumbnail> decodeThumbnail(const Message& message) {
    const Json& t = field(message, "thumbnail");
    if (t.is_null()) return std::nullopt;
    Thumbnail thumbnail;
    thumbnail.width = value<int>(t, "width");
    thumbnail.height = value<int>(t, "height");
    thumbnail.decodeShrink = value<int>(t, "decodeShrink");
    const Json& rgba = field(t, "rgba");
    if (!rgba.is_binary()) throw ProtocolError("thumbnail pixels that are no bytes");
    thumbnail.rgba = rgba.get_binary();
    if (thumbnail.width < 1 || thumbnail.height < 1 ||
        thumbnail.rgba.size() != std::size_t(thumbnail.width) * std::size_t(thumbnail.height) * 4) {
        throw ProtocolError("thumbnail pixels that do not fill its size");
    }
    return thumbnail;
}

Message encode(const std::vector<LibraryVersions::Library>& libraries) {
    Json list = Json::array();
    for (const LibraryVersions::Library& library : libraries) {
        Json writes = Json::array();
        for (OutputFormat format : library.writes) writes.push_back(format.rawValue());
        list.push_back({{"name", library.name}, {"version", library.version}, {"writes", writes},
                        {"encoders", library.encoders}});
    }
    return Json{{"libraries", list}};
}

std::vector<LibraryVersions::Library> decodeLibraries(const Message& message) {
    std::vector<LibraryVersions::Library> libraries;
    const Json& list = field(message, "libraries");
    if (!list.is_array()) throw ProtocolError("libraries that are no list");
    for (const Json& entry : list) {
        LibraryVersions::Library library{value<std::string>(entry, "name"), value<std::string>(entry, "version"), {},
                                         value<std::vector<std::string>>(entry, "encoders")};
        for (const std::string& raw : value<std::vector<std::string>>(entry, "writes")) {
            const std::optional<OutputFormat> format = OutputFormat::fromRawValue(raw);
            if (!format) throw ProtocolError("an unknown format");
            library.writes.push_back(*format);
        }
        libraries.push_back(std::move(library));
    }
    return libraries;
}

}  // namespace dorvex::WorkerProtocol
