// Decoding one card text block into the record: the kit's decoders against
// the same work done with glibc's iconv. Also counts heap allocations per card.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iconv.h>
#include <string>
#include <vector>

#include "CardText.inc"
#include "vessik.h"

// Every allocation of the process, libc's own included, passes through here.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);
}

namespace {
unsigned long g_allocations = 0;
} // namespace

extern "C" void *malloc(size_t size)
{
    ++g_allocations;
    return __libc_malloc(size);
}

extern "C" void *calloc(size_t count, size_t size)
{
    ++g_allocations;
    return __libc_calloc(count, size);
}

extern "C" void *realloc(void *ptr, size_t size)
{
    ++g_allocations;
    return __libc_realloc(ptr, size);
}

extern "C" void free(void *ptr)
{
    __libc_free(ptr);
}

namespace {

constexpr int kBlockBytes = 256;
constexpr int kTextBytes = 324; // the record's text fields, before the photo
constexpr int kNationalScratch = 12;
constexpr int kDecimal = 10;

struct Field {
    int offset;
    int width;
};
constexpr Field kName = {0, 30};
constexpr Field kSex = {30, 2};
constexpr Field kNation = {32, 4};
constexpr Field kBirth = {36, 16};
constexpr Field kAddress = {52, 70};
constexpr Field kCardNo = {122, 36};
constexpr Field kAuthority = {158, 30};
constexpr Field kStart = {188, 16};
constexpr Field kEnd = {204, 16};

void PutText(unsigned char *block, const Field &field, const std::u16string &text)
{
    for (int u = 0; u < field.width / 2; ++u) {
        const char16_t unit = u < static_cast<int>(text.size()) ? text[u] : u' ';
        block[field.offset + 2 * u] = static_cast<unsigned char>(unit & 0xFF);
        block[field.offset + 2 * u + 1] = static_cast<unsigned char>(unit >> 8);
    }
}

// A made-up holder; no real person's data.
void MakeBlock(unsigned char *block)
{
    memset(block, 0, kBlockBytes);
    PutText(block, kName, u"欧阳·明远");
    PutText(block, kSex, u"1");
    PutText(block, kNation, u"01");
    PutText(block, kBirth, u"19900101");
    PutText(block, kAddress, u"北京市东城区景山前街4号院12号楼3单元501室");
    PutText(block, kCardNo, u"11010119900101001X");
    PutText(block, kAuthority, u"北京市公安局东城分局");
    PutText(block, kStart, u"20200101");
    PutText(block, kEnd, u"20400101");
}

unsigned char *Bytes(char *field)
{
    return reinterpret_cast<unsigned char *>(field);
}

int Room(int field_bytes)
{
    return field_bytes - 1; // keep the record's zero terminator
}

// The nationality name replaces the code digits, cut to whole characters.
void PutNational(idInfo &record)
{
    unsigned char name[kNationalScratch];
    const int len = GetNational(atoi(record.nation), name);
    if (len > 0 && len <= Room(sizeof(record.nation)))
        memcpy(record.nation, name, len);
}

void DecodeWithKit(const unsigned char *block, idInfo &record)
{
    memset(&record, 0, kTextBytes);
    ParesCardChinessBounded(block + kName.offset, kName.width, Bytes(record.name),
                            Room(sizeof(record.name)));
    ParesCardNumber(block + kSex.offset, kSex.width, Bytes(record.sex));
    ParesCardNumber(block + kNation.offset, kNation.width, Bytes(record.nation));
    PutNational(record);
    ParesCardNumber(block + kBirth.offset, kBirth.width, Bytes(record.birth));
    ParesCardChinessBounded(block + kAddress.offset, kAddress.width, Bytes(record.address),
                            Room(sizeof(record.address)));
    ParesCardNumber(block + kCardNo.offset, kCardNo.width, Bytes(record.cardno));
    ParesCardChinessBounded(block + kAuthority.offset, kAuthority.width, Bytes(record.authority),
                            Room(sizeof(record.authority)));
    ParesCardNumber(block + kStart.offset, kStart.width, Bytes(record.starttime));
    ParesCardNumber(block + kEnd.offset, kEnd.width, Bytes(record.endtime));
}

// iconv stops with E2BIG before a character that does not fit, as the kit does.
void IconvInto(iconv_t cd, const unsigned char *src, int bytes, char *dest, int room)
{
    char *in = const_cast<char *>(reinterpret_cast<const char *>(src));
    size_t in_left = static_cast<size_t>(bytes);
    size_t out_left = static_cast<size_t>(room);
    iconv(cd, &in, &in_left, &dest, &out_left);
}

int BytesBeforePadding(const unsigned char *src, int width)
{
    int offset = 0;
    while (offset + 1 < width && !(src[offset] == 0x20 && src[offset + 1] == 0x00))
        offset += 2;
    return offset;
}

void IconvFreeText(iconv_t cd, const unsigned char *block, const Field &field, char *dest,
                   int field_bytes)
{
    const unsigned char *src = block + field.offset;
    IconvInto(cd, src, BytesBeforePadding(src, field.width), dest, Room(field_bytes));
}

void IconvDigits(iconv_t cd, const unsigned char *block, const Field &field, char *dest,
                 int field_bytes)
{
    IconvInto(cd, block + field.offset, field.width, dest, field_bytes);
}

void DecodeWithIconv(iconv_t cd, const unsigned char *block, idInfo &record)
{
    memset(&record, 0, kTextBytes);
    IconvFreeText(cd, block, kName, record.name, sizeof(record.name));
    IconvDigits(cd, block, kSex, record.sex, sizeof(record.sex));
    IconvDigits(cd, block, kNation, record.nation, sizeof(record.nation));
    PutNational(record);
    IconvDigits(cd, block, kBirth, record.birth, sizeof(record.birth));
    IconvFreeText(cd, block, kAddress, record.address, sizeof(record.address));
    IconvDigits(cd, block, kCardNo, record.cardno, sizeof(record.cardno));
    IconvFreeText(cd, block, kAuthority, record.authority, sizeof(record.authority));
    IconvDigits(cd, block, kStart, record.starttime, sizeof(record.starttime));
    IconvDigits(cd, block, kEnd, record.endtime, sizeof(record.endtime));
}

void CountAllocations(benchmark::State &state, unsigned long before)
{
    state.counters["allocs_per_card"] = benchmark::Counter(
        static_cast<double>(g_allocations - before), benchmark::Counter::kAvgIterations);
}

void BM_DecodeCardTextKit(benchmark::State &state)
{
    unsigned char block[kBlockBytes];
    MakeBlock(block);
    idInfo record;
    const unsigned long before = g_allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(block);
        DecodeWithKit(block, record);
        benchmark::DoNotOptimize(record);
        benchmark::ClobberMemory();
    }
    CountAllocations(state, before);
}
BENCHMARK(BM_DecodeCardTextKit);

void BM_DecodeCardTextIconv(benchmark::State &state)
{
    unsigned char block[kBlockBytes];
    MakeBlock(block);
    const iconv_t cd = iconv_open("UTF-8", "UCS-2LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    idInfo record;
    const unsigned long before = g_allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(block);
        DecodeWithIconv(cd, block, record);
        benchmark::DoNotOptimize(record);
        benchmark::ClobberMemory();
    }
    CountAllocations(state, before);
    iconv_close(cd);
}
BENCHMARK(BM_DecodeCardTextIconv);

// Both ways must fill the record alike, or the comparison means nothing.
bool SameRecords()
{
    unsigned char block[kBlockBytes];
    MakeBlock(block);
    idInfo kit;
    idInfo reference;
    DecodeWithKit(block, kit);
    const iconv_t cd = iconv_open("UTF-8", "UCS-2LE");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return false;
    DecodeWithIconv(cd, block, reference);
    iconv_close(cd);
    return memcmp(&kit, &reference, kTextBytes) == 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (!SameRecords()) {
        fprintf(stderr, "the kit and iconv decode the card text differently\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
