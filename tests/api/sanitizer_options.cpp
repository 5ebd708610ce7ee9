// ThreadSanitizer settings built into the test program, so that running it directly behaves like
// running it through ctest.

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARN_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TARN_TSAN 1
#endif

#ifdef TARN_TSAN
// A failed refresh reaches every waiter as the same exception object. Its reference count lives in
// the uninstrumented libstdc++, so the last waiter's release (at the end of its catch block, or of
// a std::exception_ptr) reads as a race with another waiter that is still inspecting it.
extern "C" const char* __tsan_default_suppressions() {
    return "race:std::__exception_ptr::exception_ptr::_M_release\n"
           "race:isUnauthorized\n";
}
#endif
