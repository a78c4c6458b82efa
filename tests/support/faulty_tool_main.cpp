// The tool linked with the fault-injecting platform, for tests that need a
// whole process to be slow (so it can be raced), to fail one platform call,
// or to die at a chosen moment:
//   VELTRAX_TEST_DELAY_US=N   every platform call waits N microseconds first
//   VELTRAX_TEST_FAIL=OP:NTH  the NTH call of operation number OP fails
//   VELTRAX_TEST_CRASH_AT=N   the process ends, as a kill would, just before its Nth platform call
#include <cstdio>
#include <cstdlib>

#include "app/commands.h"
#include "platform/fault.h"

int main(int argc, char** argv) {
    namespace fault = veltrax::platform::fault;
    if (const char* delay = std::getenv("VELTRAX_TEST_DELAY_US")) {
        fault::delay_each_call(static_cast<unsigned>(std::strtoul(delay, nullptr, 10)));
    }
    if (const char* fail = std::getenv("VELTRAX_TEST_FAIL")) {
        unsigned op = 0;
        unsigned nth = 0;
        if (std::sscanf(fail, "%u:%u", &op, &nth) == 2 && op < static_cast<unsigned>(fault::Op::count)) {
            fault::fail_call(static_cast<fault::Op>(op), nth);
        }
    }
    if (const char* crash = std::getenv("VELTRAX_TEST_CRASH_AT")) {
        fault::crash_before_call(static_cast<unsigned>(std::strtoul(crash, nullptr, 10)));
    }
    return veltrax::dispatch(argc, argv);
}
