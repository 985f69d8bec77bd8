#pragma once

#include "net/sock/psock.h"

// The message of the error of class E (ESockError or a subclass) that `action` raises; ""
// when it raises none.
template <typename E = ESockError, typename Action>
AnsiString SockErrorOf(Action action) {
    try {
        action();
    } catch (const E& error) {
        return error.Message();
    }
    return "";
}
