// The bitmap files match the sizes the surface declares: 8 bits per pixel, 256 colours.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "control/surface.h"

namespace varnel::testing {
namespace {

std::uint32_t Le(const std::string& b, std::size_t at, int bytes) {
    std::uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(b.at(at + static_cast<std::size_t>(i)));
    return v;
}

TEST(ResourcesTest, BitmapsHaveTheDeclaredSizeAndFormat) {
    for (const surface::Bitmap& bitmap :
         {surface::kFacePicture, surface::kToolboxBitmap, surface::kLogoBitmap}) {
        SCOPED_TRACE(bitmap.file);
        std::ifstream in(std::string(VARNEL_RESOURCE_DIR "/") + bitmap.file, std::ios::binary);
        const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_GT(b.size(), 54u + 1024u);
        EXPECT_EQ(b.substr(0, 2), "BM");
        EXPECT_EQ(Le(b, 2, 4), b.size());
        EXPECT_EQ(Le(b, 18, 4), static_cast<std::uint32_t>(bitmap.width));
        EXPECT_EQ(Le(b, 22, 4), static_cast<std::uint32_t>(bitmap.height));
        EXPECT_EQ(Le(b, 28, 2), 8u);    // bits per pixel
        EXPECT_EQ(Le(b, 30, 4), 0u);    // uncompressed
        EXPECT_EQ(Le(b, 46, 4), 256u);  // palette entries
        const std::uint32_t row = (static_cast<std::uint32_t>(bitmap.width) + 3) / 4 * 4;
        EXPECT_EQ(b.size(), 54u + 1024u + row * static_cast<std::uint32_t>(bitmap.height));
    }
}

}  // namespace
}  // namespace varnel::testing
