// Clears the platform's planned failures when a test starts and ends.
#pragma once

#include "platform/fault.h"

namespace veltrax::testing {

struct FaultGuard {
    FaultGuard() { platform::fault::clear(); }
    ~FaultGuard() { platform::fault::clear(); }
    FaultGuard(const FaultGuard&) = delete;
    FaultGuard& operator=(const FaultGuard&) = delete;
};

}  // namespace veltrax::testing
