#include "output/SameFile.h"

namespace dorvex::OutputPlanner {

namespace fs = std::filesystem;

fs::path absoluteNormal(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    return (error ? path : absolute).lexically_normal();
}

bool isSameFile(const fs::path& a, const fs::path& b) {
    if (absoluteNormal(a) == absoluteNormal(b)) return true;
    std::error_code error;
    const bool equivalent = fs::equivalent(a, b, error);
    return !error && equivalent;
}

}  // namespace dorvex::OutputPlanner
