// SPDX-License-Identifier: LGPL-2.1-or-later
// A serial security module on a pseudo-terminal: the model behind the master
// side, served by a thread that moves the bytes and the time. The library
// opens the slave side's path as it would /dev/ttyUSB0.
#ifndef VESSIK_TESTS_SUPPORT_SERIAL_MODULE_HOST_H
#define VESSIK_TESTS_SUPPORT_SERIAL_MODULE_HOST_H

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "child_process.h"
#include "pty_pair.h"
#include "serial_module.h"
#include "virtual_reader.h"

namespace testsupport {

class SerialModuleHost {
  public:
    explicit SerialModuleHost(const vsim::CardFields *card = nullptr) : module_(reader_)
    {
        reader_.knobs().read_delay_us = 50000; // a quick module keeps the tests short
        if (card != nullptr)
            reader_.insert_card(*card);
        if (!pty_.ok())
            return;
        path_ = pty_.path();
        thread_ = std::thread([this] { Serve(); });
    }
    ~SerialModuleHost() { Vanish(); }
    SerialModuleHost(const SerialModuleHost &) = delete;
    SerialModuleHost &operator=(const SerialModuleHost &) = delete;

    const std::string &path() const { return path_; }
    std::string where() const { return "serial:" + path_; }

    // Runs `fn` on the model while the serving thread keeps off it.
    void With(const std::function<void(vsim::VirtualReader &, vsim::SerialModule &)> &fn)
    {
        std::lock_guard<std::mutex> lock(mu_);
        fn(reader_, module_);
    }

    // The next answer as long as a read's is held back and sent just before
    // the module's next answer: a module that answers a read after the host
    // gave it up and sent its next command.
    void AnswerTheNextReadLate() { hold_next_read_ = true; }

    // The bridge is pulled out: the master side closes.
    void Vanish()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        pty_.CloseMaster();
    }

  private:
    void Serve()
    {
        while (!stop_) {
            int wait_ms = 5;
            {
                std::lock_guard<std::mutex> lock(mu_);
                const auto due = module_.next_due_us();
                if (due) {
                    const uint64_t now = NowUs();
                    wait_ms =
                        *due <= now
                            ? 0
                            : static_cast<int>(std::min<uint64_t>((*due - now) / 1000 + 1, 5));
                }
            }
            if (testsupport::Readable(pty_.master(), wait_ms)) {
                unsigned char buf[4096];
                const ssize_t n = read(pty_.master(), buf, sizeof buf);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mu_);
                    module_.host_bytes(buf, static_cast<size_t>(n), NowUs());
                }
            }
            Deliver();
        }
    }

    // Bytes at a rate the host's side is not set to arrive as garbage, as
    // they would on a real line.
    void Deliver()
    {
        for (;;) {
            std::optional<vsim::SerialOutput> out;
            {
                std::lock_guard<std::mutex> lock(mu_);
                out = module_.take_due(NowUs());
            }
            if (!out)
                return;
            vsim::cross_line(out->bytes.data(), out->bytes.size(), out->rate,
                             vsim::terminal_rate(pty_.master()));
            if (out->bytes.size() >= vsim::kReadAnswerBytes && hold_next_read_.exchange(false)) {
                held_ = std::move(out->bytes);
                continue;
            }
            out->bytes.insert(out->bytes.begin(), held_.begin(), held_.end());
            held_.clear();
            if (write(pty_.master(), out->bytes.data(), out->bytes.size()) < 0)
                return;
        }
    }

    vsim::VirtualReader reader_;
    vsim::SerialModule module_;
    std::mutex mu_;
    testsupport::PtyPair pty_;
    std::string path_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> hold_next_read_{false};
    std::vector<uint8_t> held_; // the serving thread's alone
    std::thread thread_;
};

} // namespace testsupport

#endif
