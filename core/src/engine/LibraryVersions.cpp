#include "dorvex/engine/LibraryVersions.h"

#include "engine/worker/WorkerPool.h"

namespace dorvex::LibraryVersions {

std::vector<Library> all() { return WorkerPool::libraries(); }

}  // namespace dorvex::LibraryVersions
