#pragma once
// Random names for files and folders made in shared places (temporary folders, hidden files
// beside a destination): unpredictable, from the kernel's random source.

#include <cstddef>
#include <string>

namespace dorvex {

// The first `length` characters (at most 36) of the text of a fresh random Uuid: upper-case
// hexadecimal digits, with dashes from the ninth character on.
std::string randomName(std::size_t length = 36);

}  // namespace dorvex
