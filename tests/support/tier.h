// How much a test repeats. The suite has two tiers that run the same tests
// and differ only in their counts: the full tier (what a plain ctest runs,
// and CI) and the quick tier (scripts/test.sh without --full, which exports
// VELTRAX_TEST_TIER=quick). The build sets both counts; docs/testing.md has
// the table.
#pragma once

#include <cstdlib>
#include <cstring>

namespace veltrax::testing {

// The count or stride named by the environment variable `name` (one run's override), else the quick or the full
// tier's, as VELTRAX_TEST_TIER says.
inline unsigned tier_setting(const char* name, unsigned full, unsigned quick) {
    if (const char* text = std::getenv(name)) return static_cast<unsigned>(std::strtoul(text, nullptr, 10));
    const char* const tier = std::getenv("VELTRAX_TEST_TIER");
    return tier != nullptr && std::strcmp(tier, "quick") == 0 ? quick : full;
}

}  // namespace veltrax::testing
