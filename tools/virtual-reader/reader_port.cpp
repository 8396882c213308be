// SPDX-License-Identifier: LGPL-2.1-or-later
// The launcher's two kinds of port (see reader_port.h): a USB reader on the
// testbed's bus and the serial module on its pseudo-terminal.
#include "reader_port.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <utility>

#include "fault_names.h"
#include "serial_port.h"

namespace {

constexpr const char *kSelf = "vessik-virtual-reader";

// Reader K's module identifier: VSIM-000K-000042, K in four digits, so that
// reader 1 keeps the model's own.
std::array<uint8_t, vsim::kModuleIdBytes> module_id_of(int reader)
{
    char text[vsim::kModuleIdBytes + 1];
    std::snprintf(text, sizeof text, "VSIM-%04d-000042", reader);
    std::array<uint8_t, vsim::kModuleIdBytes> id{};
    std::memcpy(id.data(), text, id.size());
    return id;
}

// The serial module's identifier: VSIM-S001-000042.
std::array<uint8_t, vsim::kModuleIdBytes> serial_module_id()
{
    constexpr char kText[] = "VSIM-S001-000042";
    static_assert(sizeof kText - 1 == vsim::kModuleIdBytes, "a module identifier is 16 bytes");
    std::array<uint8_t, vsim::kModuleIdBytes> id{};
    std::memcpy(id.data(), kText, id.size());
    return id;
}

// A USB reader: its options, card, model and device on the bus.
class UsbReaderPort : public ReaderPort {
  public:
    UsbReaderPort(const ReaderOptions &options, const vsim::CardFields &card,
                  const MonotonicClock &clock, int number, Testbed &testbed, bool uevents,
                  const ModelSetup &setup)
        : opts_(options), card_(card), number_(number), testbed_(testbed), uevents_(uevents),
          setup_(setup), device_(model_, clock, number)
    {
    }

    const ReaderOptions &options() const override { return opts_; }
    int number() const override { return number_; }
    const Notes &notes() const override
    {
        static const Notes kNotes = {"card laid on the reader", "card lifted off the reader",
                                     "reader unplugged", "reader plugged in",
                                     "fresh reader on the bus"};
        return kNotes;
    }

    bool set_up(std::string &error) override
    {
        if (!apply_faults(opts_.faults, model_, error))
            return false;
        if (!device_.attach(testbed_, error))
            return false;
        device_.set_uevents(uevents_);
        if (opts_.no_reader) {
            device_.unplug();
            return true;
        }
        return device_.plug(error);
    }
    void lay_card() override { device_.insert_card(card_); }
    void lift_card() override { device_.remove_card(); }
    bool plug(std::string &error) override { return device_.plug(error); }
    void unplug() override { device_.unplug(); }
    bool present() const override { return device_.on_bus(); }
    bool replace_model(const std::vector<std::string> &faults, std::string &error) override
    {
        vsim::VirtualReader fresh;
        if (!apply_faults(faults, fresh, error))
            return false;
        device_.replace_model(std::move(fresh));
        device_.service();
        return device_.plug(error);
    }
    vsim::Counters counters() override { return device_.counters(); }
    int notify_fd() const override { return device_.notify_fd(); }
    uint64_t service() override { return device_.service(); }
    void close() override { device_.detach(); }

  private:
    // The model as the launcher runs it, with `faults` switched on.
    bool apply_faults(const std::vector<std::string> &faults, vsim::VirtualReader &model,
                      std::string &error) const
    {
        vsim::Knobs &knobs = model.knobs();
        knobs.refind_after_read =
            true; // a card left on the reader reads again, as the demo expects
        knobs.module_id = module_id_of(number_);
        knobs.profile = setup_.profile;
        for (const std::string &f : faults) {
            if (!vsim::is_serial_fault(f) && !vsim::apply_fault(f, knobs, error))
                return false; // the serial line's faults are the serial module's alone
        }
        model.set_keep_log(false); // the log would grow for as long as the program polls
        if (setup_.log) {
            // With several readers each line says whose it is.
            const std::string prefix =
                setup_.several_readers ? "reader " + std::to_string(number_) + ": " : "";
            model.set_log_sink([prefix](const std::string &line) {
                std::fprintf(stderr, "%s%s\n", prefix.c_str(), line.c_str());
            });
        }
        return true;
    }

    const ReaderOptions &opts_;
    const vsim::CardFields card_;
    const int number_;
    Testbed &testbed_;
    const bool uevents_;
    const ModelSetup &setup_;
    vsim::VirtualReader model_;
    ReaderDevice device_;
};

// The serial module of --serial: its options, card, model and line.
class SerialModulePort : public ReaderPort {
  public:
    SerialModulePort(const ReaderOptions &options, const vsim::CardFields &card,
                     const MonotonicClock &clock, const std::string &link_path, int rate,
                     const ModelSetup &setup)
        : opts_(options), card_(card), setup_(setup), port_(model_, clock, link_path, rate)
    {
    }

    const ReaderOptions &options() const override { return opts_; }
    int number() const override { return 0; }
    const Notes &notes() const override
    {
        static const Notes kNotes = {"card laid on the serial module",
                                     "card lifted off the serial module", "serial port gone",
                                     "serial port back", "fresh serial module"};
        return kNotes;
    }

    bool set_up(std::string &error) override
    {
        return apply_faults(opts_.faults, model_, port_.knobs(), error);
    }
    void announce() const override
    {
        std::fprintf(stderr, "%s: serial module at %s (%d baud)%s\n", kSelf,
                     port_.link_path().c_str(), port_.rate(),
                     opts_.no_reader ? ", not there yet" : "");
    }
    void lay_card() override { model_.insert_card(card_); }
    void lift_card() override { model_.remove_card(); }
    bool plug(std::string &error) override { return port_.plug(error); }
    void unplug() override { port_.unplug(); }
    bool present() const override { return port_.present(); }
    bool replace_model(const std::vector<std::string> &faults, std::string &error) override
    {
        vsim::VirtualReader fresh;
        vsim::SerialKnobs knobs;
        if (!apply_faults(faults, fresh, knobs, error))
            return false;
        port_.replace_model(std::move(fresh));
        port_.knobs() = knobs;
        return port_.present() || port_.plug(error);
    }
    vsim::Counters counters() override { return model_.counters(); }
    int notify_fd() const override { return port_.notify_fd(); }
    uint64_t service() override { return port_.service(); }
    void close() override { port_.unplug(); }

  private:
    // The model with `faults` switched on: the line's own on `knobs`, the
    // module's on the model.
    bool apply_faults(const std::vector<std::string> &faults, vsim::VirtualReader &model,
                      vsim::SerialKnobs &knobs, std::string &error) const
    {
        knobs = vsim::SerialKnobs();
        model.knobs().refind_after_read = true;
        model.knobs().module_id = serial_module_id();
        for (const std::string &f : faults) {
            const bool applied = vsim::is_serial_fault(f)
                                     ? vsim::apply_serial_fault(f, knobs, error)
                                     : vsim::apply_fault(f, model.knobs(), error);
            if (!applied)
                return false;
        }
        model.set_keep_log(false);
        if (setup_.log)
            model.set_log_sink([](const std::string &line) {
                std::fprintf(stderr, "serial: %s\n", line.c_str());
            });
        return true;
    }

    const ReaderOptions &opts_;
    const vsim::CardFields card_;
    const ModelSetup &setup_;
    vsim::VirtualReader model_;
    SerialPort port_;
};

} // namespace

std::unique_ptr<ReaderPort> make_usb_port(const ReaderOptions &options,
                                          const vsim::CardFields &card, const MonotonicClock &clock,
                                          int number, Testbed &testbed, bool uevents,
                                          const ModelSetup &setup)
{
    return std::make_unique<UsbReaderPort>(options, card, clock, number, testbed, uevents, setup);
}

std::unique_ptr<ReaderPort> make_serial_port(const ReaderOptions &options,
                                             const vsim::CardFields &card,
                                             const MonotonicClock &clock,
                                             const std::string &link_path, int rate,
                                             const ModelSetup &setup)
{
    return std::make_unique<SerialModulePort>(options, card, clock, link_path, rate, setup);
}

std::string counters_text(const vsim::Counters &c)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "module_id=%d status=%d reset=%d find=%d select=%d read=%d "
                  "frames_rejected=%d probes=%d restarts=%d out_transfers=%d in_transfers=%d "
                  "clear_halts=%d device_resets=%d",
                  c.module_id, c.status, c.reset, c.find, c.select, c.read, c.frames_rejected,
                  c.probes, c.restarts, c.out_transfers, c.in_transfers, c.clear_halts,
                  c.device_resets);
    return text;
}
