// ThreadSanitizer settings built into the API, integration and end-to-end test programs, so that
// running one directly behaves like running it through ctest. Linked into each of them once.

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARN_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TARN_TSAN 1
#endif

#ifdef TARN_TSAN
// - The reference count of std::exception_ptr lives in the uninstrumented libstdc++. A failed
//   refresh reaches every waiter as the same exception object, and an exception handed from an io
//   thread to a std::future is released on another thread: the last release (at the end of a
//   catch block, or of a std::exception_ptr) reads as a race with a waiter still inspecting it.
// - cpp-httplib is an uninstrumented shared library; its workers synchronise in ways ThreadSanitizer
//   cannot see. Only the test servers run it.
extern "C" const char* __tsan_default_suppressions() {
    return "race:std::__exception_ptr::exception_ptr::_M_release\n"
           "race:isUnauthorized\n"
           "race:libcpp-httplib.so\n";
}
#endif
