// Backend answers shared by the client's tests: a user record and a sign-in answer around it.
#pragma once

#include <string>

namespace tarn::testing {

inline const std::string kUserJSON =
    R"({"id":"u1","subscription_status":"active","vpn_access_status":"enabled",)"
    R"("created_at":"2024-05-01T12:00:00Z","last_sync_at":"2024-05-01T12:00:00Z"})";

/// An AuthResponse; the tokens are pasted in as they are, so JSON escapes in them stay escapes.
inline std::string authJSON(const std::string& access, const std::string& refresh) {
    return R"({"access_token":")" + access + R"(","refresh_token":")" + refresh + R"(","user":)" + kUserJSON + "}";
}

}  // namespace tarn::testing
