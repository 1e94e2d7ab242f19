// Fetches from tavoble-sim when it sent each data notification of the default
// amplifier (CLOCK_MONOTONIC ns, by index over the amplifier's life) and writes
// them as little-endian uint64 values, one per index from FIRST on.
//
//   e2e_sent_times FIRST COUNT OUT
#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "e2e_util.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s FIRST COUNT OUT\n", argv[0]);
        return 2;
    }
    const uint64_t first = std::strtoull(argv[1], nullptr, 10);
    const uint64_t count = std::strtoull(argv[2], nullptr, 10);
    try {
        auto connection = sdbus::createSystemBusConnection();
        auto control = sdbus::createProxy(*connection, "org.bluez", "/org/tavoble/simulator");
        std::vector<uint64_t> times;
        times.reserve(count);
        while (times.size() < count) {
            const auto chunk =
                static_cast<uint32_t>(std::min<uint64_t>(count - times.size(), 20000));
            std::vector<sdbus::Struct<uint64_t, std::vector<uint8_t>>> sent;
            control->callMethod("GetSentData")
                .onInterface("org.tavoble.Simulator1")
                .withArguments(E2E_AMPLIFIER, first + times.size(), chunk)
                .storeResultsTo(sent);
            if (sent.empty()) {
                break;  // nothing sent beyond this index
            }
            for (const auto& s : sent) {
                times.push_back(s.get<0>());
            }
        }
        FILE* f = std::fopen(argv[3], "wb");
        if (f == nullptr ||
            std::fwrite(times.data(), sizeof(uint64_t), times.size(), f) != times.size()) {
            std::fprintf(stderr, "cannot write %s\n", argv[3]);
            return 1;
        }
        std::fclose(f);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sent times: %s\n", e.what());
        return 1;
    }
}
