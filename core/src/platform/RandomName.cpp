#include "platform/RandomName.h"

#include "dorvex/platform/Uuid.h"

namespace dorvex {

std::string randomName(std::size_t length) { return Uuid::random().text().substr(0, length); }

}  // namespace dorvex
