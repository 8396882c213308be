// SPDX-License-Identifier: LGPL-2.1-or-later
// Reads a fuzzer's input as a script: single bytes, small numbers and runs of
// bytes. Once the input is used up every read yields zeros, so any input is a
// valid script and a short one simply ends early.
#ifndef VESSIK_FUZZ_INPUT_H
#define VESSIK_FUZZ_INPUT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

// A property of the code under test that did not hold: print it and abort,
// which libFuzzer and the replay driver both report with the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);          \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

class FuzzInput {
  public:
    FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

    bool empty() const { return pos_ >= size_; }
    size_t remaining() const { return empty() ? 0 : size_ - pos_; }

    uint8_t byte() { return empty() ? 0 : data_[pos_++]; }

    uint16_t u16()
    {
        const uint16_t high = byte();
        return static_cast<uint16_t>(high << 8 | byte());
    }

    // A number from 0 to n - 1; n must be above 0.
    unsigned below(unsigned n) { return (n <= 256 ? byte() : u16()) % n; }

    bool flag() { return (byte() & 1) != 0; }

    // The next `n` bytes, fewer when the input runs out.
    std::vector<uint8_t> bytes(size_t n)
    {
        const size_t take = n < remaining() ? n : remaining();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + take);
        pos_ += take;
        return out;
    }

    // A text of up to `max` characters, its length taken from the input.
    std::string text(size_t max)
    {
        const size_t len = below(static_cast<unsigned>(max) + 1);
        const std::vector<uint8_t> raw = bytes(len);
        return std::string(raw.begin(), raw.end());
    }

    std::string rest()
    {
        const std::vector<uint8_t> raw = bytes(remaining());
        return std::string(raw.begin(), raw.end());
    }

  private:
    const uint8_t *data_;
    size_t size_;
    size_t pos_ = 0;
};

#endif
