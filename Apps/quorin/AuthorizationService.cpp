#include "quorin/AuthorizationService.hpp"

#include <polkit/polkit.h>
#include <unistd.h>

namespace quorin::cli {

bool authorizationUnavailable() {
    if (::getuid() == 0 || ::geteuid() == 0) {
        return false;
    }
    GError* error = nullptr;
    PolkitAuthority* authority = polkit_authority_get_sync(nullptr, &error);
    if (authority == nullptr) {
        g_clear_error(&error);
        return true;  // no system bus
    }
    gchar* owner = polkit_authority_get_owner(authority);
    const bool unavailable = owner == nullptr;  // nobody serves polkit on the bus
    g_free(owner);
    g_object_unref(authority);
    return unavailable;
}

}  // namespace quorin::cli
