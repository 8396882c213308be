// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik_photo_decode and vessik_image_to_png with the test decoder (BMP
// mode) in place of the stand-in: its good portrait and each fault its
// file can have, picked through VESSIK_FAKE_DECODER_FAULT.
#include <png.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "vessik_read.h"

namespace {

constexpr unsigned kWidth = 102; // the test decoder's portrait
constexpr unsigned kHeight = 126;

class PhotoDecodeTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        char temporary[] = "/tmp/vessik-photo-test.XXXXXX";
        char outside[] = "/tmp/vessik-photo-outside.XXXXXX";
        ASSERT_NE(mkdtemp(temporary), nullptr);
        ASSERT_NE(mkdtemp(outside), nullptr);
        temporary_ = temporary;
        outside_ = outside;
        link_target_ = outside_ + "/planted.bmp";
        setenv("TMPDIR", temporary, 1);
        setenv("VESSIK_FAKE_DECODER_LINK_TARGET", link_target_.c_str(), 1);
        for (size_t i = 0; i < sizeof photo_; ++i)
            photo_[i] = static_cast<unsigned char>(i * 31);
        vessik_image_init(&image_);
    }

    void TearDown() override
    {
        vessik_image_free(&image_);
        unsetenv("VESSIK_FAKE_DECODER_FAULT");
        unlink(link_target_.c_str());
        rmdir(outside_.c_str());
        rmdir(temporary_.c_str());
    }

    int Decode(const char *fault)
    {
        setenv("VESSIK_FAKE_DECODER_FAULT", fault, 1);
        return vessik_photo_decode(photo_, &image_);
    }

    // Red, green or blue of the pixel at (x, y) from the top left.
    unsigned char At(unsigned x, unsigned y, unsigned channel) const
    {
        return image_.rgb[(y * image_.width + x) * 3 + channel];
    }

    std::string temporary_;
    std::string outside_;
    std::string link_target_;
    unsigned char photo_[1024] = {};
    vessik_image image_{};
};

struct FaultCase {
    const char *fault;
    int expected;
};

class DecoderFileTest : public PhotoDecodeTest, public ::testing::WithParamInterface<FaultCase> {};

// Each fault of the decoder's file gets its own answer, no pixels, and
// leaves nothing behind in the temporary folder. A good file, however it
// stores its rows, comes out top row first in red, green, blue (the
// decoder's top row has red 160, its bottom row red 98); a link at the
// file's name, symbolic or a second name, is neither read nor its file
// overwritten.
TEST_P(DecoderFileTest, AnswersAndLeavesNothingBehind)
{
    const FaultCase c = GetParam();
    const std::string fault = c.fault;
    if (fault == "foreign" && geteuid() != 0)
        GTEST_SKIP() << "only root can give the decoder's file to another user";
    const int result = Decode(c.fault);
    EXPECT_EQ(result, c.expected) << vessik_strerror(result);
    EXPECT_EQ(image_.rgb != nullptr, c.expected == VESSIK_OK);
    EXPECT_TRUE(std::filesystem::is_empty(temporary_));
    if (fault == "symlink" || fault == "hardlink") {
        EXPECT_EQ(std::ifstream(link_target_, std::ios::binary).get(), 'B');
    }
    if (c.expected != VESSIK_OK)
        return;
    ASSERT_EQ(image_.width, kWidth);
    ASSERT_EQ(image_.height, kHeight);
    ASSERT_EQ(image_.rgb_bytes, size_t{kWidth} * kHeight * 3);
    EXPECT_EQ(At(0, 0, 0), 160);
    EXPECT_EQ(At(0, kHeight - 1, 0), 98);
    EXPECT_EQ(At(kWidth - 1, 0, 1), 64 + (kWidth - 1) / 2);
    EXPECT_EQ(At(0, 0, 2), 96 + photo_[0] / 4);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DecoderFileTest,
    ::testing::Values(
        FaultCase{"", VESSIK_OK}, FaultCase{"top-down", VESSIK_OK},
        FaultCase{"leftover", VESSIK_OK}, FaultCase{"nothing", VESSIK_E_DECODER_FAILED},
        FaultCase{"empty", VESSIK_E_DECODER_FAILED}, FaultCase{"garbage", VESSIK_E_BAD_IMAGE},
        FaultCase{"bad-header", VESSIK_E_BAD_IMAGE}, FaultCase{"eight-bit", VESSIK_E_BAD_IMAGE},
        FaultCase{"wide", VESSIK_E_BAD_IMAGE}, FaultCase{"truncated", VESSIK_E_BAD_IMAGE},
        FaultCase{"oversized", VESSIK_E_BAD_IMAGE}, FaultCase{"symlink", VESSIK_E_BAD_IMAGE},
        FaultCase{"hardlink", VESSIK_E_BAD_IMAGE}, FaultCase{"foreign", VESSIK_E_BAD_IMAGE}),
    [](const ::testing::TestParamInfo<FaultCase> &info) {
        std::string name = info.param.fault[0] != '\0' ? info.param.fault : "good";
        for (char &ch : name)
            ch = ch == '-' ? '_' : ch;
        return name;
    });

TEST_F(PhotoDecodeTest, DecodesTheSamePhotoFromTwoThreadsAtOnce)
{
    setenv("VESSIK_FAKE_DECODER_FAULT", "", 1);
    vessik_image second;
    vessik_image_init(&second);
    int results[2] = {1, 1};
    std::thread other([&] { results[1] = vessik_photo_decode(photo_, &second); });
    results[0] = vessik_photo_decode(photo_, &image_);
    other.join();
    EXPECT_EQ(results[0], VESSIK_OK);
    EXPECT_EQ(results[1], VESSIK_OK);
    ASSERT_EQ(second.rgb_bytes, image_.rgb_bytes);
    EXPECT_EQ(std::string(second.rgb, second.rgb + second.rgb_bytes),
              std::string(image_.rgb, image_.rgb + image_.rgb_bytes));
    vessik_image_free(&second);
}

// An image without pixels is refused; one with them comes back whole.
TEST_F(PhotoDecodeTest, PngHoldsTheImageAndNeedsOne)
{
    unsigned char *png = nullptr;
    size_t len = 0;
    EXPECT_EQ(vessik_image_to_png(&image_, &png, &len), VESSIK_E_BAD_ARGUMENT);
    EXPECT_EQ(png, nullptr);
    ASSERT_EQ(Decode(""), VESSIK_OK);
    ASSERT_EQ(vessik_image_to_png(&image_, &png, &len), VESSIK_OK);

    png_image read{};
    read.version = PNG_IMAGE_VERSION;
    ASSERT_NE(png_image_begin_read_from_memory(&read, png, len), 0) << read.message;
    EXPECT_EQ(read.width, kWidth);
    EXPECT_EQ(read.height, kHeight);
    read.format = PNG_FORMAT_RGB;
    std::vector<unsigned char> pixels(PNG_IMAGE_SIZE(read));
    ASSERT_NE(png_image_finish_read(&read, nullptr, pixels.data(), 0, nullptr), 0);
    EXPECT_EQ(pixels, std::vector<unsigned char>(image_.rgb, image_.rgb + image_.rgb_bytes));
    vessik_png_free(png, len);
}

} // namespace
