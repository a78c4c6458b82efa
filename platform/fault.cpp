#include "platform/fault.h"

#include <array>
#include <chrono>
#include <thread>

namespace veltrax::platform::fault {
namespace {

struct Plan {
    unsigned calls = 0;
    unsigned fail_at = 0;  // 0: never
    bool persist = false;
};

// The test layer is the one place allowed to keep state: it is linked only
// into test programs, never into the tool.
std::array<Plan, static_cast<unsigned>(Op::count)>& plans() {
    static std::array<Plan, static_cast<unsigned>(Op::count)> table{};
    return table;
}

unsigned& delay() {
    static unsigned microseconds = 0;
    return microseconds;
}

struct Crash {
    unsigned calls = 0;  // of every operation together
    unsigned at = 0;     // 0: never
};

Crash& crash() {
    static Crash plan{};
    return plan;
}

}  // namespace

void fail_call(Op op, unsigned nth, bool persist) {
    Plan& plan = plans()[static_cast<unsigned>(op)];
    plan.fail_at = nth;
    plan.persist = persist;
}

void delay_each_call(unsigned microseconds) { delay() = microseconds; }

void crash_before_call(unsigned nth) { crash().at = nth; }

void clear() {
    plans() = {};
    delay() = 0;
    crash() = {};
}

unsigned calls(Op op) { return plans()[static_cast<unsigned>(op)].calls; }

bool hit(Op op) {
    if (++crash().calls == crash().at) end_process_now();
    Plan& plan = plans()[static_cast<unsigned>(op)];
    ++plan.calls;
    if (delay() != 0) std::this_thread::sleep_for(std::chrono::microseconds(delay()));
    if (plan.fail_at == 0) return false;
    return plan.persist ? plan.calls >= plan.fail_at : plan.calls == plan.fail_at;
}

}  // namespace veltrax::platform::fault
