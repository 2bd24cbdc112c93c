#include <gtest/gtest.h>

#ifndef _WIN32
#include "platform/Unix/TestControls.h"

namespace {

// Every test starts from a platform layer with no folders set, no failures
// requested and nothing recorded.
class PlatformReset : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        ResetPlatformForTest();
    }
};

} // namespace
#endif

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
#ifndef _WIN32
    testing::UnitTest::GetInstance()->listeners().Append(new PlatformReset);
#endif
    return RUN_ALL_TESTS();
}
