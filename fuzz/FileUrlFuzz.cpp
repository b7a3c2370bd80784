// File URLs as stored in JSON. Reading any text gives an absolute path or nothing; a path read
// back turns into a URL that reads as the same path; and any absolute path (the fuzzed bytes after
// a "/") goes through a URL and back unchanged but for trailing slashes.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "FuzzCheck.h"
#include "dorvex/model/FileUrl.h"

using namespace dorvex;

namespace {

void checkRoundTrip(const std::filesystem::path& path, const std::string& expected) {
    for (FileUrl::Kind kind : {FileUrl::Kind::file, FileUrl::Kind::directory}) {
        const std::optional<std::filesystem::path> back = FileUrl::toPath(FileUrl::fromPath(path, kind));
        fuzz::check(back && back->native() == expected, "a path survives its URL");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    if (const std::optional<std::filesystem::path> path = FileUrl::toPath(text)) {
        const std::string& native = path->native();
        fuzz::check(native.starts_with('/'), "a URL's path is absolute");
        fuzz::check(native.find('\0') == std::string::npos, "a URL's path holds no NUL");
        fuzz::check(native == "/" || !native.ends_with('/'), "a URL's path has no trailing slash");
        checkRoundTrip(*path, native);
    }

    if (text.find('\0') == std::string_view::npos) {
        const std::string path = "/" + std::string(text);
        std::string expected = path;
        while (expected.size() > 1 && expected.back() == '/') expected.pop_back();
        checkRoundTrip(path, expected);
    }
    return 0;
}
