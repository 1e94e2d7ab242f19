// Dropped links under each of the amplifier's counter behaviours, and a
// Bluetooth service restart: every valid scan is one the amplifier sent, in
// the order sent, none twice, and filler scans stand exactly for the sample
// numbers that never arrived.

#include <exception>
#include <map>
#include <random>
#include <thread>

#include "LinkLossTest.h"

using namespace e2e;
using namespace std::chrono_literals;

namespace {

constexpr float kScale[3] = {0.5f, 0.25f, 2.0f};

// One scan as the amplifier sent it: its sample number and channel values.
struct SentScan {
    float number;
    float values[3];
};

std::vector<SentScan> Expand(const std::vector<std::vector<uint8_t>>& sent) {
    std::vector<SentScan> scans;
    for (const auto& payload : sent) {
        const float counter = Sample(payload, 3);
        for (int frame = 0; frame < 2; ++frame) {
            SentScan scan{2.0f * (counter - 1.0f) + static_cast<float>(frame) + 1.0f, {}};
            for (int c = 0; c < 3; ++c) {
                scan.values[c] = Sample(payload, frame * 4 + c) * kScale[c];
            }
            scans.push_back(scan);
        }
    }
    return scans;
}

bool Equal(const std::vector<float>& scan, const SentScan& sent) {
    return scan[kCounter] == sent.number && scan[0] == sent.values[0] &&
           scan[1] == sent.values[1] && scan[2] == sent.values[2];
}

struct Tally {
    std::size_t leadingFillers = 0;  // before the first valid scan
    std::size_t valid = 0;
    std::size_t fillers = 0;
    std::size_t unsentFillers = 0;  // fillers for samples the amplifier never sent
    std::size_t restarts = 0;       // sample numbers going back
};

// The valid scans must be a subsequence of what was sent (in order, none
// twice); a filler repeats the scan before it and stands for a sample number
// that did not arrive; sample numbers run on by one except where the
// amplifier's own counter went back.
Tally Check(const std::vector<Scan>& scans, const std::vector<SentScan>& sent) {
    Tally tally;
    std::map<float, bool> sentNumbers;
    for (const SentScan& s : sent) {
        sentNumbers[s.number] = true;
    }
    std::size_t next = 0;  // into `sent`
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const std::vector<float>& scan = scans[i].values;
        if (i > 0) {
            const float previous = scans[i - 1].values[kCounter];
            if (scan[kCounter] <= previous) {
                EXPECT_EQ(scan[kCounter], 1.0f) << "scan " << i << " went back, not to the start";
                ++tally.restarts;
            } else {
                EXPECT_EQ(scan[kCounter], previous + 1.0f) << "gap before scan " << i;
            }
        }
        if (scan[kValid] == 0.0f) {
            // Before the first valid scan, fillers stand for the samples an
            // amplifier that was already sampling made before the stream began.
            if (tally.valid == 0) {
                ++tally.leadingFillers;
                continue;
            }
            ++tally.fillers;
            tally.unsentFillers += sentNumbers.count(scan[kCounter]) == 0 ? 1 : 0;
            for (int c = 0; c < 3; ++c) {
                EXPECT_EQ(scan[c], scans[i - 1].values[c]) << "filler " << i;
            }
            continue;
        }
        EXPECT_EQ(scan[kValid], 1.0f);
        ++tally.valid;
        while (next < sent.size() && !Equal(scan, sent[next])) {
            ++next;
        }
        EXPECT_LT(next, sent.size())
            << "scan " << i << " (sample " << scan[kCounter] << ") is not the next one sent";
        if (next >= sent.size()) {
            return tally;
        }
        ++next;
    }
    return tally;
}

class LinkLossCounters : public LinkLossTest {
  protected:
    bool Connected() {
        try {
            return sim.isConnected(kDefaultAmplifier);
        } catch (const std::exception&) {
            return false;
        }
    }

    // Drops at random moments; some drops keep the amplifier out of range
    // for a while, so that a free-running counter moves on meanwhile.
    void DropsAtRandomMoments(int drops, unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> pause(50, 400);
        for (int i = 0; i < drops; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            const uint64_t connects = Connects();
            if (i % 2 == 0) {
                sim.disconnectPeer(kDefaultAmplifier);
            } else {
                sim.setUnreachable(kDefaultAmplifier, 0.3);
            }
            AwaitRecovery(connects);
            if (HasFatalFailure()) {
                return;
            }
        }
    }

    // Ends the stream and checks every scan against what was sent.
    Tally StopAndCheck() {
        EXPECT_EQ(TAVOBLE_RegisterDataAvailableCallback(handle, nullptr), 0);
        const std::vector<Scan> scans = ScanRecorder::Instance().Take();
        const std::vector<SentScan> sent = Expand(sim.sentData(kDefaultAmplifier, 0, 200000));
        EXPECT_GT(scans.size(), 40u);
        for (const Scan& scan : scans) {
            EXPECT_EQ(scan.handle, handle);
        }
        const Tally tally = Check(scans, sent);
        std::printf(
            "%zu leading fillers, %zu valid scans, %zu fillers (%zu for samples never sent), "
            "%zu restarts\n",
            tally.leadingFillers, tally.valid, tally.fillers, tally.unsentFillers, tally.restarts);
        EXPECT_EQ(TAVOBLE_CloseDevice(&handle), 0);
        return tally;
    }
};

}  // namespace

TEST_F(LinkLossCounters, AFreeRunningCounterGetsExactlyTheMissedSamplesAsFillers) {
    // The amplifier samples on while the link is down: its counter jumps.
    StartStreaming(R"(, "counter": {"start": 1, "freeRunning": true})");
    DropsAtRandomMoments(6, 18);
    const Tally tally = StopAndCheck();
    EXPECT_EQ(tally.restarts, 0u);
    EXPECT_GT(tally.unsentFillers, 0u)
        << "the counter should have moved on while the link was down";
}

TEST_F(LinkLossCounters, ACounterThatGoesOnPerNotificationMakesNoFiller) {
    StartStreaming();
    DropsAtRandomMoments(6, 19);
    const Tally tally = StopAndCheck();
    EXPECT_EQ(tally.restarts, 0u);
    EXPECT_EQ(tally.fillers + tally.leadingFillers, 0u);
}

TEST_F(LinkLossCounters, ACounterThatRestartsOnSubscribeStartsTheNumbersAgain) {
    StartStreaming(R"(, "counter": {"start": 1, "restartOnSubscribe": true})");
    DropsAtRandomMoments(4, 20);
    const Tally tally = StopAndCheck();
    EXPECT_EQ(tally.restarts, 4u);
    EXPECT_EQ(tally.fillers + tally.leadingFillers, 0u);
}

TEST_F(LinkLossCounters, ABluetoothServiceRestartMidStreamIsRecovered) {
    StartStreaming(R"(, "counter": {"start": 1, "freeRunning": true})");
    for (int round = 0; round < 2; ++round) {
        sim.restartBluetooth(0.5);
        // The service is gone (its control calls fail) or its link is down.
        ASSERT_TRUE(bletest::waitFor([&] { return Connects() == 0 || !Connected(); }, 10s));
        // Scans of the old link may still be on their way: count from the new one.
        ASSERT_TRUE(bletest::waitFor([&] { return Connected(); }, 30s)) << "no reconnect";
        const std::size_t before = ScanRecorder::Instance().Count();
        ASSERT_TRUE(ScanRecorder::Instance().WaitForCount(before + 10, 30s)) << "no new scans";
    }
    TAVOBLE_DEVICE_INFORMATION info{};
    EXPECT_EQ(TAVOBLE_GetDeviceInformation(handle, &info), 0) << LastError();
    const Tally tally = StopAndCheck();
    EXPECT_EQ(tally.restarts, 0u);
    EXPECT_GT(tally.unsentFillers, 0u);
    EXPECT_FALSE(sim.isConnected(kDefaultAmplifier));
}
