// Test layer of the platform seam: makes chosen calls of any operation fail.
//
// Only the test build of the platform (VELTRAX_FAULT_INJECTION) counts calls
// and consults the plan; in the shipped tool `injected` is constant false and
// the plan does not exist.
#pragma once

#include <vector>

namespace veltrax::platform::fault {

enum class Op : unsigned {
    create_directory,
    remove_directory,
    path_exists,
    rename_file,
    replace_file,
    remove_file,
    open_stream,
    read_stream,
    write_stream,
    flush_stream,
    close_stream,
    allocate,
    create_key,
    open_key,
    query_value,
    set_value,
    delete_key,
    count
};

// Plans the nth call of op (1-based, counted from the last clear) to fail; with persist, every call after it too.
void fail_call(Op op, unsigned nth, bool persist = false);

// Makes every call of every operation wait this long first (0: no wait), to widen race windows.
void delay_each_call(unsigned microseconds);

// Ends the process just before the nth call of any operation (1-based, all counted together; 0: never).
void crash_before_call(unsigned nth);

// Just before the nth call of op, creates the file "<gate>.reached" and waits while the file gate exists
// (at most a minute), so that a test can run something else at exactly that moment.
void pause_before_call(Op op, unsigned nth, const char* gate);

// Forgets every planned failure, delay, crash and pause and sets every call count back to zero.
void clear();

// The number of calls of op since the last clear.
unsigned calls(Op op);

// Every call since the last clear, in the order it was made.
const std::vector<Op>& call_log();

// The exit status a crash leaves on Windows; on Linux the process dies of SIGKILL.
inline constexpr unsigned crash_exit_code = 0xDEAD;

// Ends this process at once, as a kill would: no destructors, no stream flush, no atexit handlers.
[[noreturn]] void end_process_now();

// Counts one call of op; true when that call is planned to fail.
bool hit(Op op);

#if defined(VELTRAX_FAULT_INJECTION)
inline bool injected(Op op) { return hit(op); }
#else
inline constexpr bool injected(Op) { return false; }
#endif

}  // namespace veltrax::platform::fault
