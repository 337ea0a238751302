// Times each packing kernel this CPU runs, and the byte loop, on 128 MiB of
// legal ADP frames packed from a 1 MiB buffer (which stays in cache) 128
// times, both channels. Rounds take turns over the kernels, in an order that
// rotates, so that each meets the same load; it prints each kernel's median
// and fastest round and its median against SSE2's.
//
//   g++ -std=c++20 -O2 -Isrc bench/kernels.cpp src/frames.cpp src/platform.cpp -o build/kernels && build/kernels [ROUNDS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "frames.hpp"

// The system's load average (Linux), to print beside the times.
std::string load_average() {
    char text[64] = "unknown";
    if (std::FILE* file = std::fopen("/proc/loadavg", "r")) {
        text[std::fread(text, 1, 14, file)] = '\0';
        std::fclose(file);
    }
    return text;
}

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 31;
    std::vector<pack_kernel> kernels{{"bytes", pack_channel_bytes}};
    for (const auto& kernel : available_kernels()) {
        kernels.push_back(kernel);
    }
    // Headers with filters 0-3 and shifts 0-12, samples from a fixed seed.
    std::mt19937 rng(20261207);
    std::vector<std::uint8_t> frames(1 << 20), blocks(frames.size() / 2);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        frames[i] = static_cast<std::uint8_t>(i % 32 < 2 ? (rng() % 4) << 4 | rng() % 13 : rng());
    }
    const std::string load_at_start = load_average();
    std::vector<std::vector<double>> times(kernels.size());
    unsigned sink = 0;
    for (int r = 0; r < rounds + 1; ++r) {  // the first round warms up
        for (std::size_t j = 0; j < kernels.size(); ++j) {
            const std::size_t k = (j + static_cast<std::size_t>(r)) % kernels.size();
            const auto start = std::chrono::steady_clock::now();
            for (int pass = 0; pass < 128; ++pass) {
                for (int channel = 0; channel < 2; ++channel) {
                    sink += static_cast<unsigned>(kernels[k].pack(frames, channel, blocks)) + blocks[pass];
                }
            }
            const std::chrono::duration<double, std::milli> ms = std::chrono::steady_clock::now() - start;
            if (r > 0) {
                times[k].push_back(ms.count());
            }
        }
    }
    std::vector<double> medians;
    for (auto& t : times) {
        std::sort(t.begin(), t.end());
        medians.push_back(t[t.size() / 2]);
    }
    const auto sse2 =
        std::find_if(kernels.begin(), kernels.end(), [](const auto& k) { return k.name == std::string("sse2"); });
    std::printf("128 MiB, both channels, %d rounds (sink %u), load average %s at start, %s at end\n", rounds, sink,
                load_at_start.c_str(), load_average().c_str());
    std::printf("%-10s%12s%12s%10s\n", "kernel", "median ms", "fastest ms", "/ sse2");
    for (std::size_t k = 0; k < kernels.size(); ++k) {
        std::printf("%-10s%12.2f%12.2f", kernels[k].name, medians[k], times[k].front());
        if (sse2 != kernels.end()) {
            std::printf("%10.2f", medians[k] / medians[static_cast<std::size_t>(sse2 - kernels.begin())]);
        }
        std::printf("\n");
    }
}
