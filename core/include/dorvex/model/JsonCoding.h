#pragma once
// Helpers for the stored JSON forms: required and present-or-default keys, each failure a typed
// DecodingError naming the key path. Shared by every record that is written to disk.

#include <nlohmann/json.hpp>

#include <optional>
#include <string>

#include "dorvex/model/DecodingError.h"

namespace dorvex::json {

// Ordered, so that records are written with their keys in declaration order.
using Json = nlohmann::ordered_json;

std::string joinPath(const std::string& path, const std::string& key);

// The object at `value`, or a typeMismatch error for `path`.
const Json& requireObject(const Json& value, const std::string& path);

// The member `key` of `object`, or keyNotFound.
const Json& requireKey(const Json& object, const std::string& key, const std::string& path);

// Typed readers: a value of the wrong JSON type fails with typeMismatch.
std::string readString(const Json& value, const std::string& path);
bool readBool(const Json& value, const std::string& path);
double readDouble(const Json& value, const std::string& path);
std::int64_t readInt(const Json& value, const std::string& path);

// Present-or-default: nullopt when the key is missing (or null), the read value otherwise.
template <typename Read>
auto readOptional(const Json& object, const std::string& key, const std::string& path, Read read)
    -> std::optional<decltype(read(object, path))> {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return std::nullopt;
    return read(*it, joinPath(path, key));
}

}  // namespace dorvex::json
