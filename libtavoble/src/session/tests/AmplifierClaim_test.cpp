// Claims between processes: one holder at a time, named in the refusal, and
// free again the moment the holder dies. The bus address scopes the claims,
// so each test uses one of its own.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "AmplifierClaim.h"
#include "ApiException.h"

using namespace Tavo::BLE;

namespace {

constexpr const char* kAddress = "C4:5B:00:00:00:01";

void UseOwnBus(const char* test) {
    const std::string bus = "unix:path=/tmp/claim-test-" + std::to_string(getpid()) + "-" + test;
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.c_str(), 1);
}

// A child that claims the amplifier, says so on a pipe and waits to be killed.
pid_t ChildHoldingTheClaim() {
    int ready[2];
    EXPECT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        auto claim = AmplifierClaim::Take(kAddress);
        const char byte = claim != nullptr ? 'y' : 'n';
        if (write(ready[1], &byte, 1) != 1) {
            _exit(3);
        }
        pause();
        _exit(0);
    }
    char byte = 0;
    EXPECT_EQ(read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'y');
    close(ready[0]);
    close(ready[1]);
    return child;
}

}  // namespace

TEST(AmplifierClaim, ARunningHolderIsNamedAndADeadOneHoldsNothing) {
    UseOwnBus("holder");
    const pid_t child = ChildHoldingTheClaim();
    const auto start = std::chrono::steady_clock::now();
    try {
        AmplifierClaim::Take(kAddress);
        ADD_FAILURE() << "claimed what another process holds";
    } catch (const ApiException& e) {
        EXPECT_EQ(e.ErrorCode(), 3);
        EXPECT_EQ(std::string(e.what()), "The amplifier is in use by another program (process " +
                                             std::to_string(child) + ").");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    // Another amplifier is free.
    EXPECT_NE(AmplifierClaim::Take("C4:5B:00:00:00:02"), nullptr);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_NE(AmplifierClaim::Take(kAddress), nullptr) << "a killed holder still holds";
}

TEST(AmplifierClaim, AForkedChildHoldsNoneOfItsParentsClaims) {
    UseOwnBus("fork");
    auto claim = AmplifierClaim::Take(kAddress);
    ASSERT_NE(claim, nullptr);
    const pid_t child = fork();
    if (child == 0) {
        sleep(5);
        _exit(0);
    }
    claim.reset();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(AmplifierClaim::Take(kAddress), nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
}
