#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "ApiException.h"
#include "CallFrame.h"
#include "tavoble.h"

using namespace Tavo::BLE;

namespace {
// Read before main(), before any test can fail a call.
const std::string textAtLoad = TAVOBLE_GetLastErrorText();
}  // namespace

TEST(LastErrorText, IsEmptyBeforeAnyFailure) {
    EXPECT_EQ(textAtLoad, "");
}

TEST(ApiVersion, IsExactlyTwo) {
    EXPECT_EQ(TAVOBLE_GetApiVersion(), 2.0f);
}

TEST(CallFrame, TurnsEachFailureKindIntoItsCodeAndText) {
    struct Case {
        std::function<void()> work;
        int32_t code;
        std::string text;
    };
    const Case cases[] = {
        {[] {}, 0, "previous"},
        {[] { throw ApiException("Couldn't get device handle.", 1); }, 1,
         "Couldn't get device handle."},
        {[] { throw ApiException("Invalid payload size.", -2); }, -2, "Invalid payload size."},
        {[] { throw std::runtime_error("Peripheral is not connected."); }, -1,
         "Peripheral is not connected."},
        {[] { throw 42; }, -1, "An unknown error appeared."},
        {[] { throw std::runtime_error(""); }, -1, ""},
    };
    for (const Case& c : cases) {
        SetLastErrorText("previous");
        EXPECT_EQ(RunInFrame(c.work), c.code) << c.text;
        EXPECT_EQ(std::string(TAVOBLE_GetLastErrorText()), c.text);
    }
}

TEST(CallFrame, KeepsTheLastFailureAcrossLaterSuccesses) {
    RunInFrame([] { throw ApiException("first failure", 3); });
    RunInFrame([] {});
    EXPECT_EQ(TAVOBLE_GetApiVersion(), 2.0f);
    EXPECT_STREQ(TAVOBLE_GetLastErrorText(), "first failure");
}

TEST(CallFrame, CutsLongTextsAt255Characters) {
    const std::string exact(255, 'a');
    RunInFrame([&] { throw std::runtime_error(exact); });
    EXPECT_EQ(std::string(TAVOBLE_GetLastErrorText()), exact);

    const std::string longer = std::string(255, 'b') + "tail";
    RunInFrame([&] { throw ApiException(longer, 3); });
    EXPECT_EQ(std::string(TAVOBLE_GetLastErrorText()), std::string(255, 'b'));
}

TEST(CallFrame, RunsTheTailAfterEveryOutcome) {
    int tails = 0;
    RunInFrame([] {}, [&] { ++tails; });
    RunInFrame([] { throw ApiException("x", 1); }, [&] { ++tails; });
    RunInFrame([] { throw 1; }, [&] { ++tails; });
    EXPECT_EQ(tails, 3);
}
