#include "tests/Interposer.h"
#include "tests/TestTree.h"

#include <gtest/gtest.h>

namespace {

// Every test starts with nothing intercepted, placed, failed or recorded,
// and leaves no file of its own open.
class InterposerReset : public testing::EmptyTestEventListener {
    void OnTestStart(const testing::TestInfo&) override {
        Interposed() = Interposer();
    }
    void OnTestEnd(const testing::TestInfo&) override {
        CloseHeldFiles();
    }
};

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    testing::UnitTest::GetInstance()->listeners().Append(new InterposerReset);
    return RUN_ALL_TESTS();
}
