#include "dorvex/model/FileUrl.h"

#include <cctype>

namespace dorvex::FileUrl {

namespace {

// Characters that stand for themselves in a URL path (RFC 3986 pchar plus "/").
bool isPathCharacter(unsigned char c) {
    if (std::isalnum(c)) return true;
    switch (c) {
        case '-': case '.': case '_': case '~': case '!': case '$': case '&': case '\'':
        case '(': case ')': case '*': case '+': case ',': case ';': case '=': case ':':
        case '@': case '/':
            return true;
        default:
            return false;
    }
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
    }
    return true;
}

}  // namespace

std::string fromPath(const std::filesystem::path& path, Kind kind) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string url = "file://";
    for (unsigned char c : path.native()) {
        if (isPathCharacter(c)) {
            url += char(c);
        } else {
            url += '%';
            url += hex[c >> 4];
            url += hex[c & 0xF];
        }
    }
    if (kind == Kind::directory && url.back() != '/') url += '/';
    return url;
}

std::optional<std::filesystem::path> toPath(std::string_view url) {
    if (!startsWithNoCase(url, "file:")) return std::nullopt;
    url.remove_prefix(5);
    if (url.starts_with("//")) {
        url.remove_prefix(2);
        std::size_t slash = url.find('/');
        if (slash == std::string_view::npos) return std::nullopt;
        std::string_view host = url.substr(0, slash);
        if (!host.empty() && !startsWithNoCase(host, "localhost")) return std::nullopt;
        if (!host.empty() && host.size() != 9) return std::nullopt;
        url.remove_prefix(slash);
    }
    if (!url.starts_with('/')) return std::nullopt;
    // A query or fragment has no place in a file path.
    if (url.find_first_of("?#") != std::string_view::npos) return std::nullopt;

    std::string path;
    path.reserve(url.size());
    for (std::size_t i = 0; i < url.size(); ++i) {
        // A NUL, written out or escaped, would end the path early in every file-system call.
        if (url[i] == '\0') return std::nullopt;
        if (url[i] != '%') {
            path += url[i];
            continue;
        }
        if (i + 2 >= url.size()) return std::nullopt;
        int high = hexValue(url[i + 1]), low = hexValue(url[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        char decoded = char(high * 16 + low);
        if (decoded == '\0') return std::nullopt;
        path += decoded;
        i += 2;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return std::filesystem::path(path);
}

}  // namespace dorvex::FileUrl
