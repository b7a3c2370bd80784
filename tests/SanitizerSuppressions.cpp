// Linked into every test executable.
//
// FFmpeg and the x264/x265 libraries are not built for ThreadSanitizer: the atomics and
// lock-free queues inside them are invisible to it, so it reports their own hand-offs (buffer
// reference counts, frame threads, x265's worker pool) as races. Races in our code still show.
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavutil.so\nrace:libavcodec.so\nrace:libavformat.so\nrace:libavfilter.so\n"
           "race:libswscale.so\nrace:libswresample.so\nrace:libx265.so\nrace:libx264.so\nrace:libzimg.so\nrace:libnuma.so\n";
}
#endif
