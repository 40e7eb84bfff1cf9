// What the jobs rely on in the synthetic images: the location record where the scan finds it
// first, and boot headers that agree with their files.
#include <gtest/gtest.h>

#include "firmware/firmware_fixture.h"
#include "firmware_gen.h"

namespace pellan::test {
namespace {

uint32_t Le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b.at(at)) | static_cast<uint32_t>(b.at(at + 1)) << 8 |
           static_cast<uint32_t>(b.at(at + 2)) << 16 | static_cast<uint32_t>(b.at(at + 3)) << 24;
}

const Bytes& SmallImage(const std::string& name) {
    for (const auto& file : SmallSet()) {
        if (file.name == name) {
            return file.bytes;
        }
    }
    throw std::out_of_range(name);
}

TEST(SyntheticImages, LocationRecordIsTheFirstAlignedMarker) {
    const Bytes& amss = SmallImage("amss.mbn");
    const uint32_t offset = fwgen::LayoutFor(fwgen::SetSize::Small).locationOffset;
    ASSERT_EQ(Le32(amss, offset), 0x6EBE1A2Cu);
    for (size_t p = 0; p < offset; p += 4) {
        ASSERT_NE(Le32(amss, p), 0x6EBE1A2Cu) << "an earlier marker at " << p;
    }
    // A record outside the image or off the word grid cannot be made.
    EXPECT_THROW(fwgen::MakeAmss(0x20000, 0x183D9), std::invalid_argument);
    EXPECT_THROW(fwgen::MakeAmss(0x20000, 0x20000 - 64), std::invalid_argument);
    EXPECT_THROW(fwgen::MakeAmss(0x20001, 0x183D8), std::invalid_argument);
}

TEST(SyntheticImages, BootHeaderSizesAndAddressesFollowTheFile) {
    for (const char* name : {"osbl.mbn", "armprg.bin", "nandprgcombined.mbn"}) {
        SCOPED_TRACE(name);
        const Bytes& image = SmallImage(name);
        const uint32_t size = static_cast<uint32_t>(image.size() - 40);
        EXPECT_EQ(Le32(image, 4), 3u);
        EXPECT_EQ(Le32(image, 16), size);
        EXPECT_EQ(Le32(image, 20), size);
        EXPECT_EQ(Le32(image, 24), Le32(image, 12) + size);
        EXPECT_EQ(Le32(image, 32), Le32(image, 12) + size);
        EXPECT_NE(image.size() % 1024, 0u) << "ends in a short block";
    }
}

}  // namespace
}  // namespace pellan::test
