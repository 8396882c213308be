// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik_photo_decode: the loaded photo decoder writes a BMP into a folder
// made for the one call, and the library reads it back as pixels.
//
// Whatever the decoder leaves is read only through the folder's descriptor,
// never through a link, and only when it is a regular file of this user with
// one name; every file in the folder is overwritten with zeros before it is
// removed, and every buffer that held the picture is wiped before it is
// freed.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "bmp_image.h"
#include "diag.h"
#include "vessik_read.h"
#include "wipe.h"

namespace {

using vessik::diag::kLogError;
using vessik::diag::kLogInfo;
using vessik::diag::Log;
using vessik::diag::LogFormat;

using DecoderFn = int (*)(const unsigned char *photo, const char *path);

// The decoder's function, as SaveImage reaches it, and the symbol only the
// kit's stand-in exports.
const char *const kDecoderEntry = "saveWlt2BmpUseFork";
const char *const kStandinMarker = "vessik_wltdec_is_standin";
const char *const kForwardedDecoder = "vessik_tool_photo_decoder";
const char *const kFolderPattern = "/vessik-photo.XXXXXX";
const char *const kDefaultTemporaryRoot = "/tmp";
const char *const kBmpName = "portrait.bmp";
constexpr mode_t kPrivateFolderMode = 0700;
constexpr size_t kZeroBlockBytes = 4096;

// The decoder is not known to be reentrant: one call at a time.
std::mutex g_decoder_mutex;

const void *ObjectBase(const void *address)
{
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0)
        return nullptr;
    return info.dli_fbase;
}

// The loaded decoder, or null when there is none or only the stand-in,
// which decodes nothing (and writes to standard error when called). The
// same lookup as the library's own call: a preloaded decoder comes first.
DecoderFn LoadedDecoder()
{
    void *entry = dlsym(RTLD_DEFAULT, kDecoderEntry);
    if (entry == nullptr)
        return nullptr;
    // The kit's programs supply the entry themselves and pass the call on to
    // the decoder they loaded at start; they say which one that is (null for
    // none or the stand-in).
    using ForwardedFn = DecoderFn (*)();
    void *forwarded = dlsym(RTLD_DEFAULT, kForwardedDecoder);
    if (forwarded != nullptr && ObjectBase(forwarded) == ObjectBase(entry))
        return reinterpret_cast<ForwardedFn>(forwarded)();
    const void *marker_base = ObjectBase(dlsym(RTLD_DEFAULT, kStandinMarker));
    if (marker_base != nullptr && marker_base == ObjectBase(entry))
        return nullptr;
    return reinterpret_cast<DecoderFn>(entry);
}

// A descriptor closed when the scope ends.
class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

bool IsOursAlone(const struct stat &st)
{
    return S_ISREG(st.st_mode) && st.st_uid == geteuid() && st.st_nlink == 1;
}

// Overwrites a file of the folder with zeros, if it is a regular file of
// ours with no other name, so that its cached pages no longer hold the
// picture. Not synced: the file lives for milliseconds, so its picture has
// in all likelihood never left the page cache, and a sync would only make
// the file system write blocks (of zeros) it would otherwise never write.
void ZeroFile(int folder, const char *name)
{
    const Fd fd(openat(folder, name, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !IsOursAlone(st))
        return;
    static const unsigned char kZeros[kZeroBlockBytes] = {};
    for (off_t done = 0; done < st.st_size;) {
        const size_t chunk = static_cast<size_t>(
            st.st_size - done < static_cast<off_t>(sizeof kZeros) ? st.st_size - done
                                                                  : sizeof kZeros);
        const ssize_t n = pwrite(fd.get(), kZeros, chunk, done);
        if (n <= 0)
            return;
        done += n;
    }
}

// Zeroes and removes whatever the decoder left in the folder, then the
// folder. Sub-folders are removed when empty; the decoder has no business
// making them.
void RemoveFolder(int folder, const std::string &path)
{
    const int listing_fd = dup(folder);
    DIR *listing = listing_fd >= 0 ? fdopendir(listing_fd) : nullptr;
    if (listing == nullptr && listing_fd >= 0)
        close(listing_fd);
    while (listing != nullptr) {
        const struct dirent *entry = readdir(listing);
        if (entry == nullptr)
            break;
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        ZeroFile(folder, entry->d_name);
        if (unlinkat(folder, entry->d_name, 0) != 0 && errno == EISDIR)
            unlinkat(folder, entry->d_name, AT_REMOVEDIR);
    }
    if (listing != nullptr)
        closedir(listing);
    if (rmdir(path.c_str()) != 0)
        LogFormat(kLogError, "photo decode: cannot remove the decoder's folder: %s",
                  std::strerror(errno));
}

// Reads the decoder's file through the folder's descriptor: a regular file
// of this user, no link followed, of at most kMaxBmpFileBytes. `bytes`
// holds it (to be wiped by the caller). VESSIK_OK or a VESSIK_E_* code.
int ReadDecoderFile(int folder, std::unique_ptr<unsigned char[]> &bytes, size_t &count)
{
    const Fd fd(openat(folder, kBmpName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
        const bool absent = errno == ENOENT;
        LogFormat(kLogError, "photo decode: the decoder's file %s (%s)",
                  absent ? "was not written" : "cannot be opened", std::strerror(errno));
        return absent ? VESSIK_E_DECODER_FAILED : VESSIK_E_BAD_IMAGE;
    }
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !IsOursAlone(st)) {
        Log(kLogError, "photo decode: the decoder's file is not a regular file of this user alone");
        return VESSIK_E_BAD_IMAGE;
    }
    if (st.st_size == 0) {
        Log(kLogError, "photo decode: the decoder wrote an empty file");
        return VESSIK_E_DECODER_FAILED;
    }
    if (static_cast<unsigned long long>(st.st_size) > vessik::kMaxBmpFileBytes) {
        LogFormat(kLogError, "photo decode: the decoder's file has %lld bytes, more than %zu",
                  static_cast<long long>(st.st_size), vessik::kMaxBmpFileBytes);
        return VESSIK_E_BAD_IMAGE;
    }
    count = static_cast<size_t>(st.st_size);
    bytes.reset(new (std::nothrow) unsigned char[count]);
    if (!bytes)
        return VESSIK_E_NO_MEMORY;
    size_t done = 0;
    while (done < count) {
        const ssize_t n = read(fd.get(), bytes.get() + done, count - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (done != count) {
        Log(kLogError, "photo decode: the decoder's file changed while it was read");
        return VESSIK_E_BAD_IMAGE;
    }
    return VESSIK_OK;
}

int PixelsFromFile(int folder, vessik_image *image)
{
    std::unique_ptr<unsigned char[]> bytes;
    size_t count = 0;
    const int read_result = ReadDecoderFile(folder, bytes, count);
    const vessik::ScopedWipe wipe_file(bytes.get(), bytes ? count : 0);
    if (read_result != VESSIK_OK)
        return read_result;
    vessik::BmpPixels pixels;
    const vessik::BmpCheck check = vessik::ReadBmp(bytes.get(), count, pixels);
    if (check != vessik::BmpCheck::Ok) {
        LogFormat(kLogError, "photo decode: the decoder wrote %s", vessik::BmpCheckText(check));
        return VESSIK_E_BAD_IMAGE;
    }
    if (pixels.rgb == nullptr)
        return VESSIK_E_NO_MEMORY;
    image->width = pixels.width;
    image->height = pixels.height;
    image->rgb = pixels.rgb;
    image->rgb_bytes = pixels.rgb_bytes;
    return VESSIK_OK;
}

std::string TemporaryRoot()
{
    const char *root = secure_getenv("TMPDIR");
    return root != nullptr && root[0] == '/' ? root : kDefaultTemporaryRoot;
}

// Makes the call's folder and opens it; -1 when it cannot be made or is
// not this user's alone (then nothing is left behind).
int MakePrivateFolder(std::string &path)
{
    path = TemporaryRoot() + kFolderPattern;
    if (mkdtemp(&path[0]) == nullptr) {
        LogFormat(kLogError, "photo decode: cannot make a private folder: %s",
                  std::strerror(errno));
        return -1;
    }
    const int folder = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (folder >= 0 && fstat(folder, &st) == 0 && st.st_uid == geteuid() &&
        (st.st_mode & ~S_IFMT) == kPrivateFolderMode)
        return folder;
    Log(kLogError, "photo decode: the private folder is not this user's alone");
    if (folder >= 0)
        close(folder);
    rmdir(path.c_str());
    return -1;
}

} // namespace

extern "C" {

void vessik_image_init(vessik_image *image)
{
    if (image == nullptr)
        return;
    std::memset(image, 0, sizeof *image);
    image->size = sizeof *image;
}

void vessik_image_free(vessik_image *image)
{
    if (image == nullptr || image->size < VESSIK_IMAGE_SIZE_V3)
        return;
    if (image->rgb != nullptr) {
        vessik::WipeSecret(image->rgb, image->rgb_bytes);
        std::free(image->rgb);
    }
    image->width = 0;
    image->height = 0;
    image->rgb = nullptr;
    image->rgb_bytes = 0;
}

int vessik_photo_decode(const unsigned char photo[1024], vessik_image *image)
{
    const vessik::diag::ExtendedScope quiet;
    if (photo == nullptr || image == nullptr || image->size < VESSIK_IMAGE_SIZE_V3)
        return VESSIK_E_BAD_ARGUMENT;
    const DecoderFn decoder = LoadedDecoder();
    if (decoder == nullptr) {
        Log(kLogInfo, "photo decode: no photo decoder is loaded");
        return VESSIK_E_NOT_SUPPORTED;
    }
    std::string folder_path;
    const Fd folder(MakePrivateFolder(folder_path));
    if (folder.get() < 0)
        return VESSIK_E_DECODER_FAILED;
    const std::string bmp_path = folder_path + "/" + kBmpName;
    int decoder_result = 0;
    {
        const std::lock_guard<std::mutex> one_at_a_time(g_decoder_mutex);
        decoder_result = decoder(photo, bmp_path.c_str());
    }
    LogFormat(vessik::diag::kLogDebug, "photo decode: the decoder returned %d", decoder_result);
    const int result = PixelsFromFile(folder.get(), image);
    RemoveFolder(folder.get(), folder_path);
    return result;
}

} // extern "C"
