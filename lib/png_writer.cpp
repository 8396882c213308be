// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik_image_to_png through the system's libpng. The library names no
// library beyond the C and C++ runtimes, so libpng is loaded on first use
// (libpng16.so.16) and reached through the functions it exports.
//
// Every block libpng and its zlib take goes through WipingAlloc/WipingFree,
// which wipe it before it is freed: the rows and the deflate window hold
// the picture.
#include <dlfcn.h>
#include <png.h>

#include <csetjmp>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "diag.h"
#include "vessik_read.h"
#include "wipe.h"

namespace {

const char *const kLibpngSoname = "libpng16.so.16";
constexpr int kBitDepth = 8;
constexpr size_t kBytesPerPixel = 3;
constexpr size_t kFirstOutputBytes = 16384;

struct Libpng {
    decltype(&png_create_write_struct_2) create_write_struct_2;
    decltype(&png_create_info_struct) create_info_struct;
    decltype(&png_destroy_write_struct) destroy_write_struct;
    decltype(&png_set_write_fn) set_write_fn;
    decltype(&png_get_io_ptr) get_io_ptr;
    decltype(&png_get_error_ptr) get_error_ptr;
    decltype(&png_set_IHDR) set_IHDR;
    decltype(&png_write_info) write_info;
    decltype(&png_write_row) write_row;
    decltype(&png_write_end) write_end;
};

// The loaded functions, for the callbacks, which libpng hands only itself.
const Libpng *g_libpng = nullptr;

template <typename Fn> bool Bind(void *library, const char *name, Fn &fn)
{
    fn = reinterpret_cast<Fn>(dlsym(library, name));
    return fn != nullptr;
}

bool BindAll(void *library, Libpng &api)
{
    return Bind(library, "png_create_write_struct_2", api.create_write_struct_2) &&
           Bind(library, "png_create_info_struct", api.create_info_struct) &&
           Bind(library, "png_destroy_write_struct", api.destroy_write_struct) &&
           Bind(library, "png_set_write_fn", api.set_write_fn) &&
           Bind(library, "png_get_io_ptr", api.get_io_ptr) &&
           Bind(library, "png_get_error_ptr", api.get_error_ptr) &&
           Bind(library, "png_set_IHDR", api.set_IHDR) &&
           Bind(library, "png_write_info", api.write_info) &&
           Bind(library, "png_write_row", api.write_row) &&
           Bind(library, "png_write_end", api.write_end);
}

const Libpng *Load()
{
    static Libpng api;
    void *library = dlopen(kLibpngSoname, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr || !BindAll(library, api)) {
        vessik::diag::LogFormat(vessik::diag::kLogError, "PNG: cannot load %s", kLibpngSoname);
        return nullptr;
    }
    g_libpng = &api;
    return g_libpng;
}

// Loaded once for the life of the process (a function's static: the
// compiler's guard, where std::call_once would bring thread-local storage
// and with it the dynamic loader as a needed library); null when it cannot
// be.
const Libpng *LoadLibpng()
{
    static const Libpng *const loaded = Load();
    return loaded;
}

// Each block carries its size in front, so that its free can wipe it.
constexpr size_t kBlockHeader = alignof(std::max_align_t);

void *AllocateWiped(size_t size)
{
    auto *block = static_cast<unsigned char *>(std::malloc(kBlockHeader + size));
    if (block == nullptr)
        return nullptr;
    std::memcpy(block, &size, sizeof size);
    return block + kBlockHeader;
}

void FreeWiped(void *memory)
{
    if (memory == nullptr)
        return;
    unsigned char *block = static_cast<unsigned char *>(memory) - kBlockHeader;
    size_t size = 0;
    std::memcpy(&size, block, sizeof size);
    vessik::WipeSecret(block, kBlockHeader + size);
    std::free(block);
}

extern "C" png_voidp WipingAlloc(png_structp /*png*/, png_alloc_size_t size)
{
    return AllocateWiped(size);
}

extern "C" void WipingFree(png_structp /*png*/, png_voidp memory)
{
    FreeWiped(memory);
}

// One encoding: where libpng jumps on an error, and the PNG so far.
struct PngJob {
    std::jmp_buf on_error;
    unsigned char *data; // from AllocateWiped
    size_t len;
    size_t capacity;
};

bool Grow(PngJob &job, size_t needed)
{
    size_t capacity = job.capacity != 0 ? job.capacity : kFirstOutputBytes;
    while (capacity < needed)
        capacity *= 2;
    auto *data = static_cast<unsigned char *>(AllocateWiped(capacity));
    if (data == nullptr)
        return false;
    if (job.data != nullptr)
        std::memcpy(data, job.data, job.len);
    FreeWiped(job.data);
    job.data = data;
    job.capacity = capacity;
    return true;
}

PngJob &JobOfWrite(png_structp png)
{
    return *static_cast<PngJob *>(g_libpng->get_io_ptr(png));
}

extern "C" [[noreturn]] void FailJob(png_structp png, png_const_charp /*message*/)
{
    std::longjmp(static_cast<PngJob *>(g_libpng->get_error_ptr(png))->on_error, 1);
}

extern "C" void IgnoreWarning(png_structp /*png*/, png_const_charp /*message*/) {}

extern "C" void WriteToJob(png_structp png, png_bytep bytes, png_size_t count)
{
    PngJob &job = JobOfWrite(png);
    if (job.capacity - job.len < count && !Grow(job, job.len + count))
        std::longjmp(job.on_error, 1);
    std::memcpy(job.data + job.len, bytes, count);
    job.len += count;
}

extern "C" void FlushNothing(png_structp /*png*/) {}

// Encodes into job.data. Holds only plain locals, none changed after the
// setjmp: libpng leaves through longjmp on any error.
bool Encode(const Libpng &api, const vessik_image &image, PngJob &job)
{
    png_structp png = api.create_write_struct_2(PNG_LIBPNG_VER_STRING, &job, FailJob, IgnoreWarning,
                                                nullptr, WipingAlloc, WipingFree);
    if (png == nullptr)
        return false;
    png_infop info = api.create_info_struct(png);
    if (info == nullptr || setjmp(job.on_error) != 0) {
        api.destroy_write_struct(&png, &info);
        return false;
    }
    api.set_write_fn(png, &job, WriteToJob, FlushNothing);
    api.set_IHDR(png, info, image.width, image.height, kBitDepth, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    api.write_info(png, info);
    const size_t row_bytes = image.width * kBytesPerPixel;
    for (unsigned y = 0; y < image.height; ++y)
        api.write_row(png, image.rgb + y * row_bytes);
    api.write_end(png, nullptr);
    api.destroy_write_struct(&png, &info);
    return true;
}

bool WellFormed(const vessik_image *image)
{
    return image != nullptr && image->size >= VESSIK_IMAGE_SIZE_V3 && image->rgb != nullptr &&
           image->width != 0 && image->height != 0 && image->width <= VESSIK_IMAGE_MAX_SIDE &&
           image->height <= VESSIK_IMAGE_MAX_SIDE &&
           image->rgb_bytes == size_t{image->width} * image->height * kBytesPerPixel;
}

} // namespace

extern "C" {

int vessik_image_to_png(const vessik_image *image, unsigned char **png, size_t *len)
{
    const vessik::diag::ExtendedScope quiet;
    if (!WellFormed(image) || png == nullptr || len == nullptr)
        return VESSIK_E_BAD_ARGUMENT;
    const Libpng *api = LoadLibpng();
    if (api == nullptr)
        return VESSIK_E_NOT_SUPPORTED;
    PngJob job{};
    if (!Encode(*api, *image, job)) {
        FreeWiped(job.data);
        return VESSIK_E_NO_MEMORY;
    }
    // Handed out in a block of its own size, so that its free wipes it whole.
    auto *exact = static_cast<unsigned char *>(std::malloc(job.len));
    if (exact != nullptr)
        std::memcpy(exact, job.data, job.len);
    FreeWiped(job.data);
    if (exact == nullptr)
        return VESSIK_E_NO_MEMORY;
    *png = exact;
    *len = job.len;
    return VESSIK_OK;
}

void vessik_png_free(unsigned char *png, size_t len)
{
    if (png == nullptr)
        return;
    vessik::WipeSecret(png, len);
    std::free(png);
}

} // extern "C"
