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
// - The reference count of std::exception_ptr lives in the uninstrumented libstdc++, so handing an
//   exception from an io thread to a std::future reads as a race on the exception object.
extern "C" const char* __tsan_default_suppressions() {
    return "race:std::__exception_ptr::exception_ptr::_M_release\n";
}
#endif
