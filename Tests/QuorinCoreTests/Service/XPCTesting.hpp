#pragma once

// Helpers shared by the tests of the service's wire layer.

#include "QuorinCore/Service/XPCProtocolError.hpp"

#include <string>

namespace quorin::testing {

/// The message of the `XPCProtocolError` that `body` throws, or "" when it throws none.
template <class Body>
std::string protocolError(Body&& body) {
    try {
        body();
    } catch (const XPCProtocolError& error) {
        return error.what();
    }
    return "";
}

}  // namespace quorin::testing
