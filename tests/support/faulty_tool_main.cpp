// The tool linked with the fault-injecting platform, for tests that need a
// whole process to be slow (so it can be raced), to fail one platform call,
// or to die at a chosen moment:
//   VELTRAX_TEST_DELAY_US=N   every platform call waits N microseconds first
//   VELTRAX_TEST_FAIL=OP:NTH  the NTH call of operation number OP fails
//   VELTRAX_TEST_CRASH_AT=N   the process ends, as a kill would, just before its Nth platform call
//   VELTRAX_TEST_PAUSE=OP:NTH and VELTRAX_TEST_GATE=PATH
//                             just before the NTH call of operation OP, the process creates
//                             PATH.reached and waits while PATH exists
//   VELTRAX_TEST_TRACE=PATH   after the run, PATH lists the operation number of every platform call, one a line
#include <cstdio>
#include <cstdlib>

#include "app/commands.h"
#include "platform/fault.h"

int main(int argc, char** argv) {
    namespace fault = veltrax::platform::fault;
    if (const char* delay = std::getenv("VELTRAX_TEST_DELAY_US")) {
        fault::delay_each_call(static_cast<unsigned>(std::strtoul(delay, nullptr, 10)));
    }
    // "OP:NTH", with OP an operation's number.
    const auto call = [](const char* variable, fault::Op* op, unsigned* nth) {
        const char* text = std::getenv(variable);
        unsigned number = 0;
        if (text == nullptr || std::sscanf(text, "%u:%u", &number, nth) != 2) return false;
        *op = static_cast<fault::Op>(number);
        return number < static_cast<unsigned>(fault::Op::count);
    };
    fault::Op op{};
    unsigned nth = 0;
    if (call("VELTRAX_TEST_FAIL", &op, &nth)) fault::fail_call(op, nth);
    const char* gate = std::getenv("VELTRAX_TEST_GATE");
    if (gate != nullptr && call("VELTRAX_TEST_PAUSE", &op, &nth)) fault::pause_before_call(op, nth, gate);
    if (const char* crash = std::getenv("VELTRAX_TEST_CRASH_AT")) {
        fault::crash_before_call(static_cast<unsigned>(std::strtoul(crash, nullptr, 10)));
    }
    const int status = veltrax::dispatch(argc, argv);
    if (const char* trace = std::getenv("VELTRAX_TEST_TRACE")) {
        std::FILE* file = std::fopen(trace, "w");
        if (file == nullptr) return 3;
        for (const fault::Op called : fault::call_log()) std::fprintf(file, "%u\n", static_cast<unsigned>(called));
        if (std::fclose(file) != 0) return 3;
    }
    return status;
}
