// What the C interface reports for a failure: the C++ exception a call ended with, turned into
// the kind, code, status and message of tarn_result, plus the per-thread "last error" of the
// synchronous functions.
#pragma once

#include "tarn/c/tarn.h"

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>

namespace tarn::capi {

/// A caller's argument the C interface refuses (NULL, a bad value); reported as
/// TARN_ERROR_INVALID_ARGUMENT with the message as given.
class InvalidArgument : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

/// A call that was cancelled before it produced its outcome.
class Cancelled : public std::runtime_error {
public:
    Cancelled() : std::runtime_error("the call was cancelled") {}
};

struct ErrorInfo {
    tarn_error_kind kind = TARN_ERROR_NONE;
    std::int64_t httpStatus = 0;
    std::int64_t code = 0;
    std::string message;
};

/// Never throws: a failure to describe the failure becomes TARN_ERROR_INTERNAL.
ErrorInfo describe(std::exception_ptr error) noexcept;

void clearLastError() noexcept;
void setLastError(ErrorInfo info) noexcept;

/// Runs body, the work of a synchronous entry point: TARN_ERROR_NONE when it returns, otherwise
/// the kind of what it threw, which also becomes this thread's last error.
template <class Body>
tarn_error_kind guarded(Body&& body) noexcept {
    clearLastError();
    try {
        body();
        return TARN_ERROR_NONE;
    } catch (...) {
        ErrorInfo info = describe(std::current_exception());
        tarn_error_kind kind = info.kind;
        setLastError(std::move(info));
        return kind;
    }
}

/// Copies the caller's options struct into `chosen` (already initialised with the defaults). A
/// caller built against a later header passes a larger struct; it is taken as long as every member
/// this library does not know is zero (a member left at its default), since ignoring a setting the
/// caller made would be a silent failure. A smaller struct would be read past its end.
template <class Options>
void copyOptions(const Options* given, Options& chosen, const char* name) {
    if (given == nullptr) return;
    if (given->struct_size < sizeof(Options)) {
        throw InvalidArgument(std::string(name) + "->struct_size is smaller than this library's " + name +
                              ": call its _init function first");
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(given);
    for (std::size_t i = sizeof(Options); i < given->struct_size; ++i) {
        if (bytes[i] != 0) {
            throw InvalidArgument(std::string(name) + " sets members this libtarn-c does not know: it is older than "
                                  "the header the program was built with");
        }
    }
    chosen = *given;
    chosen.struct_size = sizeof(Options);
}

/// The argument as a string, or InvalidArgument naming it when it is NULL.
std::string required(const char* value, const char* name);

/// A copy for the caller, freed with tarn_string_free; std::bad_alloc when there is no memory.
char* duplicate(const std::string& text);

}  // namespace tarn::capi
