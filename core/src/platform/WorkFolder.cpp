#include "dorvex/platform/WorkFolder.h"

#include <string>
#include <system_error>

#include "dorvex/platform/Uuid.h"

namespace dorvex {

WorkFolder::WorkFolder(std::string_view prefix)
    : path_(std::filesystem::temp_directory_path() / (std::string(prefix) + Uuid::random().text())) {}

WorkFolder::~WorkFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace dorvex
