#include "c_errors.hpp"

#include "tarn/api/api_error.hpp"
#include "tarn/api/http.hpp"
#include "tarn/json/json.hpp"
#include "tarn/storage/session_lock.hpp"
#include "tarn/storage/token_store.hpp"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

namespace tarn::capi {

namespace {

struct LastError {
    tarn_error_kind kind = TARN_ERROR_NONE;
    std::string message;
};

thread_local LastError lastError;

ErrorInfo describeCurrent() {
    try {
        throw;
    } catch (const Cancelled& e) {
        return {TARN_ERROR_CANCELLED, 0, 0, e.what()};
    } catch (const InvalidArgument& e) {
        return {TARN_ERROR_INVALID_ARGUMENT, 0, 0, e.what()};
    } catch (const APIError& e) {
        // what() is built from the redacted reason, never from the raw body.
        return {TARN_ERROR_API, e.statusCode(), static_cast<std::int64_t>(e.kind()), e.what()};
    } catch (const TransportError& e) {
        if (e.code() == TransportError::Code::cancelled) return {TARN_ERROR_CANCELLED, 0, 0, e.what()};
        return {TARN_ERROR_TRANSPORT, 0, e.curlCode(), e.what()};
    } catch (const DecodingError& e) {
        return {TARN_ERROR_DECODING, 0, static_cast<std::int64_t>(e.kind()), e.what()};
    } catch (const EncodingError& e) {
        return {TARN_ERROR_ENCODING, 0, 0, e.what()};
    } catch (const KeychainError& e) {
        return {TARN_ERROR_KEYCHAIN, 0, e.status(), e.what()};
    } catch (const SessionLockTimeout& e) {
        return {TARN_ERROR_SESSION_LOCK, 0, 0, e.what()};
    } catch (const std::filesystem::filesystem_error& e) {
        return {TARN_ERROR_FILESYSTEM, 0, e.code().value(), e.what()};
    } catch (const std::system_error& e) {
        if (e.code() == std::errc::operation_canceled) return {TARN_ERROR_CANCELLED, 0, 0, "the call was cancelled"};
        return {TARN_ERROR_INTERNAL, 0, e.code().value(), e.what()};
    } catch (const std::invalid_argument& e) {
        // The library's own constructors refuse unusable settings this way (a bad pin, no connection).
        return {TARN_ERROR_INVALID_ARGUMENT, 0, 0, e.what()};
    } catch (const std::bad_alloc&) {
        return {TARN_ERROR_INTERNAL, 0, 0, "out of memory"};
    } catch (const std::exception& e) {
        return {TARN_ERROR_INTERNAL, 0, 0, e.what()};
    } catch (...) {
        return {TARN_ERROR_INTERNAL, 0, 0, "unknown failure"};
    }
}

}  // namespace

ErrorInfo describe(std::exception_ptr error) noexcept {
    try {
        if (!error) return {};
        try {
            std::rethrow_exception(error);
        } catch (...) {
            return describeCurrent();
        }
    } catch (...) {
        // Copying a message can run out of memory; the kind still goes through.
        ErrorInfo info;
        info.kind = TARN_ERROR_INTERNAL;
        return info;
    }
}

void clearLastError() noexcept {
    lastError.kind = TARN_ERROR_NONE;
    lastError.message.clear();
}

void setLastError(ErrorInfo info) noexcept {
    lastError.kind = info.kind;
    lastError.message = std::move(info.message);
}

std::string required(const char* value, const char* name) {
    if (value == nullptr) throw InvalidArgument(std::string(name) + " is NULL");
    return value;
}

char* duplicate(const std::string& text) {
    auto* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (copy == nullptr) throw std::bad_alloc();
    std::memcpy(copy, text.data(), text.size() + 1);
    return copy;
}

}  // namespace tarn::capi

extern "C" {

const char* tarn_error_kind_name(tarn_error_kind kind) {
    switch (kind) {
        case TARN_ERROR_NONE: return "none";
        case TARN_ERROR_API: return "api";
        case TARN_ERROR_TRANSPORT: return "transport";
        case TARN_ERROR_DECODING: return "decoding";
        case TARN_ERROR_ENCODING: return "encoding";
        case TARN_ERROR_KEYCHAIN: return "keychain";
        case TARN_ERROR_INVALID_ARGUMENT: return "invalid_argument";
        case TARN_ERROR_CANCELLED: return "cancelled";
        case TARN_ERROR_FILESYSTEM: return "filesystem";
        case TARN_ERROR_SESSION_LOCK: return "session_lock";
        case TARN_ERROR_INTERNAL: return "internal";
        case TARN_ERROR_KIND_MAX_ENUM: break;
    }
    return "unknown";
}

const char* tarn_last_error_message(void) { return tarn::capi::lastError.message.c_str(); }

tarn_error_kind tarn_last_error_kind(void) { return tarn::capi::lastError.kind; }

const char* tarn_version(void) { return TARN_C_VERSION; }

int tarn_c_api_version(void) { return TARN_C_API_VERSION; }

void tarn_string_free(char* s) { std::free(s); }

}  // extern "C"
