// Assertions on a test machine's state. Each returns an AssertionResult, so
// EXPECT_TRUE(...) at the call site reports the caller's line.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "tests/support/machine.h"

namespace veltrax::testing {

inline std::string printable(const std::string& bytes) {
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f) {
            text += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
            text += escaped;
        }
    }
    return text.size() > 200 ? text.substr(0, 200) + "...(" + std::to_string(bytes.size()) + " bytes)" : text;
}

inline ::testing::AssertionResult has_file(const Machine& m, const std::string& path, const std::string& bytes) {
    const auto found = m.read(path);
    if (!found) return ::testing::AssertionFailure() << path << " is missing";
    if (*found != bytes) {
        return ::testing::AssertionFailure() << path << " holds \"" << printable(*found) << "\", expected \""
                                             << printable(bytes) << "\"";
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult has_no_file(const Machine& m, const std::string& path) {
    if (m.exists(path)) return ::testing::AssertionFailure() << path << " exists";
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult has_value(const Machine& m, const std::string& key, const std::string& name,
                                            std::uint32_t type, const std::string& data) {
    const auto found = m.reg_get(key, name);
    if (!found) return ::testing::AssertionFailure() << key << " has no value \"" << name << "\"";
    if (found->type != type || found->data != data) {
        return ::testing::AssertionFailure() << key << " \"" << name << "\" is type " << found->type << " \""
                                             << printable(found->data) << "\", expected type " << type << " \""
                                             << printable(data) << "\"";
    }
    return ::testing::AssertionSuccess();
}

// The bytes RegSetValueExA stores for a string with its terminating NUL.
inline std::string sz(const std::string& text) { return text + std::string(1, '\0'); }

}  // namespace veltrax::testing
