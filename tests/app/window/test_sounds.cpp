// The two clips the window plays after each delivery, and playing them without a device.
#include "app/window/sounds.h"
#include "platform/resources.h"

#include <gtest/gtest.h>

using namespace app;

namespace {

TEST(SoundsTest, ClipsHaveTheirFormatsAndSizes) {
    RegisterSounds();
    std::string_view ok, bad;
    ASSERT_TRUE(platform::FindResource("oksound", "wave", ok));
    ASSERT_TRUE(platform::FindResource("BadSound", "WAVE", bad));
    WaveFormat f;
    ASSERT_TRUE(ParseWave(ok, f));
    EXPECT_EQ(f.channels, 2);
    EXPECT_EQ(f.sampleRate, 22050);
    EXPECT_EQ(f.bitsPerSample, 16);
    EXPECT_EQ(f.dataBytes, 119292u);
    ASSERT_TRUE(ParseWave(bad, f));
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.dataBytes, 44092u);
    bool audible = false;
    for (char c : f.samples) audible |= c != 0;
    EXPECT_TRUE(audible);
    PlayResourceSound("oksound"); // no device here: silent, and it must not fail
    PlayResourceSound("badsound");
    PlayResourceSound("nosuchsound");
}

} // namespace
