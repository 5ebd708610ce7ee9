// GLib and GIO synchronise their threads (the GDBus worker) with futexes and atomics that
// ThreadSanitizer does not see, as they are not built with it; its reports about memory that
// those libraries hand between threads are therefore false. Our own code stays fully checked.
// Included by exactly one source file of each test program.
#pragma once

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TARN_TEST_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TARN_TEST_UNDER_TSAN 1
#endif

#ifdef TARN_TEST_UNDER_TSAN
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libsecret-1.so.0\n";
}
#endif
