// SessionLock: the turn one process (or one task) takes at changing the stored token pair. The
// app, tarnctl and any other process that share one token store take turns on it around a token
// refresh and a sign-out, so that a refresh token is never spent twice and a sign-out is never
// undone by a refresh that was in flight. A TokenStore hands out the lock; the API client holds it.
#pragma once

#include "tarn/export.hpp"
#include "tarn/error.hpp"

#include <stdexcept>

namespace tarn {

/// A held turn; destroying it gives the turn up. The lock of a process that dies is given up by
/// the system, so a crash never leaves the store locked.
class TARN_EXPORT SessionLock {
public:
    SessionLock() = default;
    virtual ~SessionLock() = default;
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;
};

/// Thrown by the client when the token store's lock could not be had within its bound: another
/// holder kept it longer than any refresh takes (a process that hangs while holding it).
class TARN_EXPORT SessionLockTimeout : public Error {
public:
    using Error::Error;
};

}  // namespace tarn
