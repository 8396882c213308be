// Shared pieces of the extended read API's tests: a fixture with a virtual
// reader on the test bus, a recording status callback, and clocks.
#ifndef VESSIK_TESTS_API_SUPPORT_H
#define VESSIK_TESTS_API_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

#include "testbus.h"
#include "vessik_read.h"
#include "virtual_reader.h"

namespace apitest {

inline uint64_t NowUs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

constexpr uint64_t kUsPerMs = 1000;
constexpr unsigned char kUntouched = 0x5A;

// Status messages of the read in progress; the callback may run on a
// reading thread while the test thread looks.
class Messages {
  public:
    static Messages &Get()
    {
        static Messages messages;
        return messages;
    }
    static void Record(int kind, void *text)
    {
        Messages &m = Get();
        std::lock_guard<std::mutex> lock(m.mu_);
        m.texts_.push_back(std::to_string(kind) + ":" + static_cast<const char *>(text));
    }
    std::vector<std::string> Texts()
    {
        std::lock_guard<std::mutex> lock(mu_);
        return texts_;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(mu_);
        texts_.clear();
    }

  private:
    std::mutex mu_;
    std::vector<std::string> texts_;
};

// Everything the process writes to standard output and standard error from
// construction to Finish(), which puts both streams back.
class OutputCapture {
  public:
    OutputCapture() : file_(tmpfile())
    {
        fflush(stdout);
        fflush(stderr);
        saved_out_ = dup(STDOUT_FILENO);
        saved_err_ = dup(STDERR_FILENO);
        dup2(fileno(file_), STDOUT_FILENO);
        dup2(fileno(file_), STDERR_FILENO);
    }
    ~OutputCapture() { Finish(); }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    std::string Finish()
    {
        if (file_ == nullptr)
            return text_;
        fflush(stdout);
        fflush(stderr);
        dup2(saved_out_, STDOUT_FILENO);
        dup2(saved_err_, STDERR_FILENO);
        close(saved_out_);
        close(saved_err_);
        rewind(file_);
        char buf[256];
        size_t n = 0;
        while ((n = fread(buf, 1, sizeof buf, file_)) > 0)
            text_.append(buf, n);
        fclose(file_);
        file_ = nullptr;
        return text_;
    }

  private:
    FILE *file_;
    int saved_out_ = -1;
    int saved_err_ = -1;
    std::string text_;
};

inline bool Untouched(const vessik_card &card)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(&card);
    for (size_t i = 0; i < sizeof card; ++i) {
        if (bytes[i] != kUntouched)
            return false;
    }
    return true;
}

// A virtual reader on the test bus, default options with the recording
// callback, and a card record filled with kUntouched.
class ReadApiTest : public testing::Test {
  protected:
    void SetUp() override
    {
        testbus::reset();
        testbus::attach(&reader_);
        vessik_read_options_init(&options_);
        options_.callback = Messages::Record;
        Messages::Get().Clear();
        memset(&card_, kUntouched, sizeof card_);
    }
    void TearDown() override { testbus::reset(); }

    // Lays a card on the reader the way a hand does: the first find after
    // this still sees an empty reader. The library remembers the last card
    // it read across calls, and tests share one process: without that
    // empty find, a card equal to another test's would count as left lying.
    void Present(const vsim::CardFields &card)
    {
        testbus::with_lock([&] {
            reader_.knobs().card_arrives_after_finds = 1;
            reader_.insert_card(card);
        });
    }

    void Lift()
    {
        testbus::with_lock([&] { reader_.remove_card(); });
    }

    int Read() { return vessik_read(&options_, &card_); }

    void ExpectReaderClosed()
    {
        EXPECT_EQ(testbus::open_handles(), 0);
        EXPECT_EQ(testbus::open_contexts(), 0);
        EXPECT_EQ(testbus::device_lists_outstanding(), 0);
    }

    int CountCalls(const std::string &name)
    {
        int n = 0;
        for (const std::string &c : testbus::call_names())
            n += c == name ? 1 : 0;
        return n;
    }

    vsim::VirtualReader reader_;
    vessik_read_options options_{};
    vessik_card card_{};
};

} // namespace apitest

#endif
