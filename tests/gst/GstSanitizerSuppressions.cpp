// What the sanitizers leave out in the test of the GStreamer element: findings inside
// GStreamer and GLib themselves, which are not built with the sanitizers.
//
// ThreadSanitizer: GLib's locks (GMutex and GCond wait on futexes directly) hand memory
// from thread to thread without the sanitizer seeing it, so memory that GStreamer
// allocates on one thread and frees or locks on its streaming thread looks like a race,
// every access made inside those libraries. ignore_noninstrumented_modules leaves out the
// accesses that uninstrumented libraries make through the sanitizer's interceptors (free,
// strlen, a mutex's memory); every access of the element's own code, and of the engine,
// is still checked (a race planted between create() and the engine thread is reported).
#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}
#endif
