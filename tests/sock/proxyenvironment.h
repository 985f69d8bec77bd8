#pragma once

#include "support/testauthority.h"

// Unsets every proxy variable for its lifetime, so that only what a test sets itself chooses
// the road (the machine running the tests may have proxies of its own). Variables the test
// sets afterwards with a ScopedEnvironment of its own are restored to unset when it ends.
class WithoutProxyVariables {
    using Unset = testsupport::ScopedEnvironment;
    Unset noProxy_{"no_proxy", nullptr};
    Unset noProxyUpper_{"NO_PROXY", nullptr};
    Unset httpProxy_{"http_proxy", nullptr};
    Unset httpsProxy_{"https_proxy", nullptr};
    Unset httpsProxyUpper_{"HTTPS_PROXY", nullptr};
    Unset allProxy_{"all_proxy", nullptr};
    Unset allProxyUpper_{"ALL_PROXY", nullptr};
};
