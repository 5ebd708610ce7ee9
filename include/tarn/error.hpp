// tarn::Error: the one base of every failure the library raises itself (APIError, TransportError,
// DecodingError, EncodingError, KeychainError, SessionLockTimeout), so that "any tarn failure" is a
// single catch. Each derived type keeps its own what(), kinds and codes; this base adds nothing to
// them. Failures of the platform (std::filesystem::filesystem_error, std::bad_alloc) stay what
// they are.
#pragma once

#include "tarn/export.hpp"

#include <stdexcept>
#include <string>

namespace tarn {

// A std::runtime_error, so that code already catching runtime_error (SessionLockTimeout has
// always been one) keeps catching it, and std::exception stays a single, unambiguous base.
class TARN_EXPORT Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

protected:
    // For the types that build and keep their own message and override what().
    Error() : std::runtime_error("tarn error") {}
};

}  // namespace tarn
