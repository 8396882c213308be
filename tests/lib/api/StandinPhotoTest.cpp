// SPDX-License-Identifier: LGPL-2.1-or-later
// With only the kit's stand-in decoder loaded there is no photo decoder:
// the decode says so without calling it (the stand-in writes to stderr).
#include <gtest/gtest.h>

#include "output_capture.h"
#include "vessik_read.h"

TEST(StandinPhoto, DecodeAnswersNotSupportedAndWritesNothing)
{
    const unsigned char photo[1024] = {};
    vessik_image image;
    vessik_image_init(&image);
    testsupport::OutputCapture capture;
    EXPECT_EQ(vessik_photo_decode(photo, &image), VESSIK_E_NOT_SUPPORTED);
    const testsupport::Output &output = capture.Finish();
    EXPECT_EQ(output.err, "");
    EXPECT_EQ(image.rgb, nullptr);
}
