// The command-line contract: one option, matched exactly, runs one routine.
#pragma once

#include <array>

namespace veltrax {

struct Command {
    const char* option;
    void (*run)();
};

// Matched in this order; the first exact match wins.
extern const std::array<Command, 4> command_table;

// The exit code when the option was recognised and its routine ran.
inline constexpr int exit_recognised = 0;
// The exit code for a wrong argument count or an unrecognised option.
inline constexpr int exit_unrecognised = -1;

// Runs the routine of the one option in argv[1]; returns the process exit code.
int dispatch(int argc, const char* const* argv);

}  // namespace veltrax
