// Benchmark (not a test): copy_file on the host build against `cp` followed
// by `sync` of the copied file, which gives the copy the same durability.
//
//   build/host/copy_benchmark [MiB] [rounds]      (defaults: 256 MiB, 3 rounds)
//
// Prints the median time of each and their ratio.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "relocation/file_ops.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    char pattern[] = "/var/tmp/veltrax-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const fs::path root = pattern;
    fs::create_directories(root / "drive_c" / "bench");
    ::setenv("VELTRAX_PLACE_ROOT", root.c_str(), 1);

    const fs::path source = root / "drive_c" / "bench" / "source.bin";
    {
        std::mt19937_64 generator(42);
        std::vector<std::uint64_t> block(1 << 17);  // 1 MiB
        std::ofstream out(source, std::ios::binary);
        for (std::size_t i = 0; i < mib; ++i) {
            for (auto& word : block) word = generator();
            out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
        }
    }
    shell("sync");

    std::vector<double> ours;
    std::vector<double> theirs;
    const fs::path copied = root / "drive_c" / "bench" / "copy_file.bin";
    const fs::path cp_target = root / "drive_c" / "bench" / "cp.bin";
    for (int round = 0; round < rounds; ++round) {
        fs::remove(copied);
        fs::remove(cp_target);
        shell("sync");
        auto start = Clock::now();
        veltrax::copy_file("C:\\bench\\source.bin", "C:\\bench\\copy_file.bin");
        ours.push_back(seconds_since(start));

        shell("sync");
        start = Clock::now();
        if (shell("cp '" + source.string() + "' '" + cp_target.string() + "' && sync '" + cp_target.string() + "'") != 0) {
            return 1;
        }
        theirs.push_back(seconds_since(start));
    }
    const bool same = fs::file_size(copied) == fs::file_size(source);
    fs::remove_all(root);

    const double a = median(ours);
    const double b = median(theirs);
    std::printf("file: %zu MiB, rounds: %d, copy intact: %s\n", mib, rounds, same ? "yes" : "NO");
    std::printf("copy_file:  %.3f s (median)\n", a);
    std::printf("cp + sync:  %.3f s (median)\n", b);
    std::printf("ratio: %.2fx\n", a / b);
    return same ? 0 : 1;
}
