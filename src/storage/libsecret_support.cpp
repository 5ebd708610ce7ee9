// libsecret support: which GLib errors mean what for a keychain caller.
#include "storage/libsecret_support.hpp"

#include <cstring>

namespace tarn::secret_service_detail {

namespace {

bool isUnreachable(const GError* error) {
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
            case G_DBUS_ERROR_SERVICE_UNKNOWN:
            case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
            case G_DBUS_ERROR_NO_REPLY:
            case G_DBUS_ERROR_TIMEOUT:
            case G_DBUS_ERROR_TIMED_OUT:
            case G_DBUS_ERROR_DISCONNECTED:
            case G_DBUS_ERROR_NO_SERVER:
            case G_DBUS_ERROR_SPAWN_FAILED:
            case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
            case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
                return true;
            default:
                return false;
        }
    }
    if (error->domain == G_IO_ERROR) {
        return error->code == G_IO_ERROR_CANCELLED || error->code == G_IO_ERROR_TIMED_OUT ||
               error->code == G_IO_ERROR_CLOSED || error->code == G_IO_ERROR_CONNECTION_REFUSED ||
               error->code == G_IO_ERROR_NOT_FOUND || error->code == G_IO_ERROR_BROKEN_PIPE;
    }
    return false;
}

// The item was deleted between finding and using it (another process cleared it): libsecret says
// "No such secret item at path", the service "Object does not exist" or "No such interface".
bool isVanished(const GError* error) {
    return error->domain == G_DBUS_ERROR &&
           (error->code == G_DBUS_ERROR_UNKNOWN_METHOD || error->code == G_DBUS_ERROR_UNKNOWN_OBJECT ||
            error->code == G_DBUS_ERROR_UNKNOWN_INTERFACE || error->code == G_DBUS_ERROR_UNKNOWN_PROPERTY);
}

}  // namespace

OSStatus statusFor(const GError* error, const Deadline& deadline) {
    if (deadline.expired()) return errSecNotAvailable;
    if (isVanished(error)) return errSecItemNotFound;
    if (error->domain == SECRET_ERROR) {
        switch (error->code) {
            case SECRET_ERROR_IS_LOCKED: return errSecInteractionNotAllowed;
            case SECRET_ERROR_NO_SUCH_OBJECT: return errSecItemNotFound;
            case SECRET_ERROR_ALREADY_EXISTS: return errSecDuplicateItem;
            default: return errSecIO;
        }
    }
    if (isUnreachable(error)) return errSecNotAvailable;
    if (g_dbus_error_is_remote_error(error)) {
        char* name = g_dbus_error_get_remote_error(error);
        OSStatus status = errSecIO;
        if (name && std::strcmp(name, "org.freedesktop.Secret.Error.IsLocked") == 0) {
            status = errSecInteractionNotAllowed;
        } else if (name && std::strcmp(name, "org.freedesktop.Secret.Error.NoSuchObject") == 0) {
            status = errSecItemNotFound;
        }
        g_free(name);
        return status;
    }
    return errSecIO;
}

}  // namespace tarn::secret_service_detail
