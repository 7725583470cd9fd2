#include "app/core/entry.h"

#include <gtest/gtest.h>

namespace amparo {
namespace {

TEST(CaptureEntry, NeedsAPathAndDefaultsToTheActiveState) {
    EXPECT_FALSE(captureRequest({"Amparo"}));
    EXPECT_FALSE(captureRequest({"Amparo", "--captura"})) << "a bare flag starts normally";
    const auto alone = captureRequest({"Amparo", "--captura", "/tmp/a.png"});
    ASSERT_TRUE(alone);
    EXPECT_EQ(alone->path, "/tmp/a.png");
    EXPECT_EQ(alone->state, "activa");
    const auto named = captureRequest({"Amparo", "-x", "--captura", "/tmp/b.png", "sitios"});
    ASSERT_TRUE(named);
    EXPECT_EQ(named->state, "sitios");
}

TEST(CaptureEntry, HeightOnlyWhenANumber) {
    EXPECT_EQ(captureHeight("600"), 600);
    EXPECT_EQ(captureHeight(" 640 "), 640);
    EXPECT_FALSE(captureHeight(""));
    EXPECT_FALSE(captureHeight("alto"));
    EXPECT_FALSE(captureHeight("0"));
}

}  // namespace
}  // namespace amparo
