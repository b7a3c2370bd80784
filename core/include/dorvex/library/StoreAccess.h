#pragma once
// StoreAccess: whether a store of the user's documents (settings, presets) may write them. A
// command that only reads (help, versions, a dry run) opens its stores read-only: they read the
// files as a writing store would, keep every change in memory, and never create, carry over,
// replace or move a file.

namespace dorvex {

enum class StoreAccess { readWrite, readOnly };

}  // namespace dorvex
