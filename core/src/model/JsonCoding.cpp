#include "dorvex/model/JsonCoding.h"

#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace dorvex::json {

namespace {

[[noreturn]] void mismatch(const std::string& path, const char* expected, const Json& value) {
    throw DecodingError(DecodingError::Kind::typeMismatch, path,
                        fmt::format("Expected to decode {} but found {} instead.", expected,
                                    value.type_name()));
}

}  // namespace

std::string joinPath(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

const Json& requireObject(const Json& value, const std::string& path) {
    if (!value.is_object()) mismatch(path, "a dictionary", value);
    return value;
}

const Json& requireKey(const Json& object, const std::string& key, const std::string& path) {
    auto it = object.find(key);
    if (it == object.end()) {
        throw DecodingError(DecodingError::Kind::keyNotFound, joinPath(path, key),
                            fmt::format("No value associated with key \"{}\".", key));
    }
    if (it->is_null()) {
        throw DecodingError(DecodingError::Kind::valueNotFound, joinPath(path, key),
                            fmt::format("Expected a value for key \"{}\" but found null instead.", key));
    }
    return *it;
}

std::string readString(const Json& value, const std::string& path) {
    if (!value.is_string()) mismatch(path, "a string", value);
    return value.get<std::string>();
}

bool readBool(const Json& value, const std::string& path) {
    if (!value.is_boolean()) mismatch(path, "a boolean", value);
    return value.get<bool>();
}

double readDouble(const Json& value, const std::string& path) {
    if (!value.is_number()) mismatch(path, "a number", value);
    return value.get<double>();
}

std::int64_t readInt(const Json& value, const std::string& path) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max())) {
            throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                                fmt::format("Parsed JSON number <{}> does not fit in Int.", value.dump()));
        }
        return value.get<std::int64_t>();
    }
    // A whole number written as a float (1e6, 3.0) is accepted; a fraction is not an integer.
    if (value.is_number_float()) {
        double d = value.get<double>();
        if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9.2e18) return std::int64_t(d);
        throw DecodingError(DecodingError::Kind::dataCorrupted, path,
                            fmt::format("Parsed JSON number <{}> does not fit in Int.", value.dump()));
    }
    mismatch(path, "an integer", value);
}

}  // namespace dorvex::json
