#include "platform/fault.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
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

std::vector<Op>& log() {
    static std::vector<Op> made;
    return made;
}

struct Crash {
    unsigned calls = 0;  // of every operation together
    unsigned at = 0;     // 0: never
};

Crash& crash() {
    static Crash plan{};
    return plan;
}

struct Pause {
    Op op = Op::count;  // count: never
    unsigned nth = 0;
    std::string gate;
};

Pause& pause() {
    static Pause plan{};
    return plan;
}

// Looks without opening: on Windows a file that is open, even for reading,
// cannot be deleted, so a probe that opened the gate could keep the test from
// ever lifting it.
bool file_exists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}

void wait_at_gate(const std::string& gate) {
    if (std::FILE* reached = std::fopen((gate + ".reached").c_str(), "wb")) std::fclose(reached);
    for (int waited = 0; waited < 6000 && file_exists(gate); ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

void fail_call(Op op, unsigned nth, bool persist) {
    Plan& plan = plans()[static_cast<unsigned>(op)];
    plan.fail_at = nth;
    plan.persist = persist;
}

void delay_each_call(unsigned microseconds) { delay() = microseconds; }

void crash_before_call(unsigned nth) { crash().at = nth; }

void pause_before_call(Op op, unsigned nth, const char* gate) { pause() = Pause{op, nth, gate}; }

void clear() {
    plans() = {};
    delay() = 0;
    crash() = {};
    pause() = {};
    log().clear();
}

unsigned calls(Op op) { return plans()[static_cast<unsigned>(op)].calls; }

const std::vector<Op>& call_log() { return log(); }

bool hit(Op op) {
    if (++crash().calls == crash().at) end_process_now();
    log().push_back(op);
    Plan& plan = plans()[static_cast<unsigned>(op)];
    ++plan.calls;
    if (op == pause().op && plan.calls == pause().nth) wait_at_gate(pause().gate);
    if (delay() != 0) std::this_thread::sleep_for(std::chrono::microseconds(delay()));
    if (plan.fail_at == 0) return false;
    return plan.persist ? plan.calls >= plan.fail_at : plan.calls == plan.fail_at;
}

}  // namespace veltrax::platform::fault
