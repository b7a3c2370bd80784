#pragma once
// VipsRuntime: starts libvips once per process, the way the engine needs it. Call start() before
// any libvips use; it is cheap after the first call and safe from any thread.
//
// The operation cache is switched off: it would hand back stale pixels for a file rewritten at
// the same path, and attempt files are. libheif is started once and held for the life of the
// process, so that a balanced heif_init / heif_deinit elsewhere cannot unregister its decoders.

namespace dorvex::VipsRuntime {

void start();

}  // namespace dorvex::VipsRuntime
