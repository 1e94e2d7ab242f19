// The amplifier comes back on a new link describing its scans anew: the same
// device-information record (serial, texts, channel types, rate) with other
// scales, padding or scans per notification. The scans on the new link are
// decoded exactly as the amplifier now describes them, from the first one.

#include <cstdio>
#include <string>
#include <thread>

#include "LinkLossTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

struct Description {
    const char* what;
    float scale1;  // channel 1's scale (0.5 before)
    int frames;    // scans per notification (2 before)
    const char* extra;
};

void PrintTo(const Description& d, std::ostream* os) {
    *os << d.what;
}

// The link-loss amplifier's channels, in its default layout.
std::string Amplifier(const Description& d) {
    char text[1024];
    std::snprintf(text, sizeof text, R"({"name": "UX-0001.00.01", "samplingRate": 250,
        "scansPerNotification": %d%s,
        "channels": [{"number": 1, "type": 1, "scale": %g, "waveform": "sawtooth"},
                     {"number": 2, "type": 1, "scale": 0.25, "waveform": "square"},
                     {"number": 3, "type": 3, "scale": 2.0},
                     {"number": 4, "type": 5, "scale": 1.0}]})",
                  d.frames, d.extra, static_cast<double>(d.scale1));
    return text;
}

const Description kDescriptions[] = {
    {"another scale", 0.125f, 2, ""},
    {"padding", 0.5f, 2, R"(, "payloadPadding": 2)"},
    {"four scans per notification", 0.5f, 4, ""},
};

class ChangedDescription : public LinkLossTest,
                           public ::testing::WithParamInterface<Description> {};

}  // namespace

TEST_P(ChangedDescription, IsTakenIntoUseFromTheFirstScanOnTheNewLink) {
    const Description& d = GetParam();
    StartStreaming();
    sim.removeAmplifier(kDefaultAmplifier);
    std::this_thread::sleep_for(300ms);  // the scans of the old link are in
    ScanRecorder::Instance().Take();
    sim.addAmplifier(Amplifier(d));
    AwaitRecovery(0);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(100, 10s));
    ASSERT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
    const std::vector<Scan> scans = ScanRecorder::Instance().Take();
    const auto sent = sim.sentData(kDefaultAmplifier, 0, 100000);
    ASSERT_GT(scans.size(), 20u);
    const auto frames = static_cast<std::size_t>(d.frames);
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const std::vector<float>& scan = scans[i].values;
        ASSERT_EQ(scan[kValid], 1.0f) << "filler at scan " << i;
        ASSERT_LT(i / frames, sent.size());
        const auto& payload = sent[i / frames];
        const int base = static_cast<int>(i % frames) * 4;
        ASSERT_EQ(scan[0], Sample(payload, base) * d.scale1) << "scan " << i;
        ASSERT_EQ(scan[1], Sample(payload, base + 1) * 0.25f) << "scan " << i;
        ASSERT_EQ(scan[2], Sample(payload, base + 2) * 2.0f) << "scan " << i;
    }
    TAVOBLE_DEVICE_INFORMATION info{};
    EXPECT_EQ(TAVOBLE_GetDeviceInformation(handle, &info), 0) << LastError();
    EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
}

INSTANTIATE_TEST_SUITE_P(Amplifier, ChangedDescription, ::testing::ValuesIn(kDescriptions));
