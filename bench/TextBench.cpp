// SPDX-License-Identifier: LGPL-2.1-or-later
// Decoding one card text block into the record: the card read's own decoding
// (DecodeCardText) against the same work done with glibc's iconv, its
// descriptor opened once. Also counts heap allocations per card.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <iconv.h>
#include <string>

#include "card_text.h"
#include "vessik.h"

// Every allocation of the process, libc's own included, passes through here.
extern "C" {
void *__libc_malloc(size_t size);
void *__libc_calloc(size_t count, size_t size);
void *__libc_realloc(void *ptr, size_t size);
void __libc_free(void *ptr);
}

using namespace vessik;

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

using cardtext::FieldCodec;
using cardtext::RecordField;

constexpr int kTextBytes = 324; // the record's text fields, before the photo

// The fields in the order the card read decodes them.
const RecordField *const kFields[] = {
    &cardtext::kRecordName,      &cardtext::kRecordSex,     &cardtext::kRecordNation,
    &cardtext::kRecordBirth,     &cardtext::kRecordAddress, &cardtext::kRecordCardNo,
    &cardtext::kRecordAuthority, &cardtext::kRecordStart,   &cardtext::kRecordEnd,
};

void PutText(unsigned char *block, const RecordField &field, const std::u16string &text)
{
    for (int u = 0; u < field.block.width / 2; ++u) {
        const char16_t unit = u < static_cast<int>(text.size()) ? text[u] : u' ';
        block[field.block.offset + 2 * u] = static_cast<unsigned char>(unit & 0xFF);
        block[field.block.offset + 2 * u + 1] = static_cast<unsigned char>(unit >> 8);
    }
}

// A made-up holder; no real person's data.
void MakeBlock(unsigned char *block)
{
    memset(block, 0, cardtext::kTextBlockBytes);
    PutText(block, cardtext::kRecordName, u"欧阳·明远");
    PutText(block, cardtext::kRecordSex, u"1");
    PutText(block, cardtext::kRecordNation, u"01");
    PutText(block, cardtext::kRecordBirth, u"19900307");
    PutText(block, cardtext::kRecordAddress, u"北京市东城区景山前街4号院12号楼3单元501室");
    PutText(block, cardtext::kRecordCardNo, u"990000199003070013");
    PutText(block, cardtext::kRecordAuthority, u"北京市公安局东城分局");
    PutText(block, cardtext::kRecordStart, u"20200101");
    PutText(block, cardtext::kRecordEnd, u"20400101");
}

int BytesBeforePadding(const unsigned char *src, int width)
{
    int offset = 0;
    while (offset + 1 < width && !(src[offset] == 0x20 && src[offset + 1] == 0x00))
        offset += 2;
    return offset;
}

// The card read's work with iconv in place of the decoders. iconv stops with
// E2BIG before a character that does not fit, as the kit does; free text keeps
// the field's last byte for the terminator, as the kit does.
void DecodeWithIconv(iconv_t cd, const unsigned char *block, idInfo &record)
{
    for (const RecordField *field : kFields) {
        const unsigned char *src = block + field->block.offset;
        const bool free_text = field->codec == FieldCodec::FreeText;
        char *in = const_cast<char *>(reinterpret_cast<const char *>(src));
        size_t in_left = static_cast<size_t>(free_text ? BytesBeforePadding(src, field->block.width)
                                                       : field->block.width);
        char *out = reinterpret_cast<char *>(&record) + field->record_offset;
        size_t out_left = free_text ? field->record_width - 1 : field->record_width;
        iconv(cd, &in, &in_left, &out, &out_left);
        if (field == &cardtext::kRecordNation)
            cardtext::DecodeNation(&record);
    }
}

void CountAllocations(benchmark::State &state, unsigned long before)
{
    state.counters["allocs_per_card"] = benchmark::Counter(
        static_cast<double>(g_allocations - before), benchmark::Counter::kAvgIterations);
}

void BM_DecodeCardTextKit(benchmark::State &state)
{
    unsigned char block[cardtext::kTextBlockBytes];
    MakeBlock(block);
    idInfo record;
    memset(&record, 0, sizeof(record)); // the caller's zero fill, once
    const unsigned long before = g_allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(block);
        DecodeCardText(block, &record);
        benchmark::DoNotOptimize(record);
        benchmark::ClobberMemory();
    }
    CountAllocations(state, before);
}
BENCHMARK(BM_DecodeCardTextKit);

void BM_DecodeCardTextIconv(benchmark::State &state)
{
    unsigned char block[cardtext::kTextBlockBytes];
    MakeBlock(block);
    const iconv_t cd = iconv_open("UTF-8", "UCS-2LE");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        state.SkipWithError("iconv_open failed");
        return;
    }
    idInfo record;
    memset(&record, 0, sizeof(record)); // the caller's zero fill, once
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
    unsigned char block[cardtext::kTextBlockBytes];
    MakeBlock(block);
    idInfo kit;
    idInfo reference;
    memset(&kit, 0, sizeof(kit));
    memset(&reference, 0, sizeof(reference));
    DecodeCardText(block, &kit);
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
