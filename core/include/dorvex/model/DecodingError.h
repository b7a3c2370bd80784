#pragma once
// DecodingError: why stored JSON (options, presets, settings) could not be read back.
// Its text is the debug description, which is what the user or the log sees.

#include <stdexcept>
#include <string>

namespace dorvex {

struct DecodingError : std::runtime_error {
    enum class Kind { keyNotFound, typeMismatch, valueNotFound, dataCorrupted };

    DecodingError(Kind errorKind, std::string path, const std::string& description)
        : std::runtime_error(description), kind(errorKind), codingPath(std::move(path)) {}

    std::string debugDescription() const { return what(); }

    Kind kind;
    std::string codingPath;  // dotted keys from the document's root, e.g. "saveLocation.folder"
};

}  // namespace dorvex
