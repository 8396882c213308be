// SPDX-License-Identifier: LGPL-2.1-or-later
// The card photo through the outside decoder (see photo_decoder.h).
#include "photo_decoder.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "photo_decoder_probe.h"
#include "vessik.h"

namespace vessikd {

namespace {

constexpr std::streamsize kMaxImageBytes = 1 << 20; // far above any card photo

struct Magic {
    const char *bytes;
    size_t size;
    const char *type;
};
const Magic kImageMagic[] = {
    {"BM", 2, "image/bmp"},
    {"\xFF\xD8\xFF", 3, "image/jpeg"},
    {"\x89PNG\r\n\x1A\n", 8, "image/png"},
};

std::string image_type(const std::string &image)
{
    for (const Magic &m : kImageMagic) {
        if (image.size() >= m.size && image.compare(0, m.size, m.bytes, m.size) == 0)
            return m.type;
    }
    return std::string();
}

} // namespace

bool PhotoDecoder::open(std::string &error)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/vessikd.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
        error = "cannot make a folder for photos (" + pattern + "): " + std::strerror(errno);
        return false;
    }
    folder_ = pattern;
    return true;
}

void PhotoDecoder::close()
{
    if (!folder_.empty())
        rmdir(folder_.c_str());
    folder_.clear();
}

PhotoDecoder::Result PhotoDecoder::decode(const unsigned char *photo, std::string &image,
                                          std::string &content_type, std::string &detail)
{
    const vessik_tools::PhotoDecoderProbe decoder = vessik_tools::probe_photo_decoder();
    if (decoder.file == nullptr || decoder.standin)
        return Result::NoDecoder;
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string path = folder_ + "/photo-" + std::to_string(serial_++) + ".bmp";
    const int rc = SaveImage(photo, path.c_str());
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    if (in)
        bytes << in.rdbuf();
    in.close();
    unlink(path.c_str());
    image = bytes.str();
    content_type = image_type(image);
    if (image.empty() || static_cast<std::streamsize>(image.size()) > kMaxImageBytes ||
        content_type.empty()) {
        detail = "the decoder returned " + std::to_string(rc) + " and wrote " +
                 (image.empty() ? std::string("no image") : std::string("no image it knows"));
        image.clear();
        return Result::Failed;
    }
    return Result::Image;
}

} // namespace vessikd
