// SPDX-License-Identifier: LGPL-2.1-or-later
// vessik-doctor: says whether a card read can start on this machine and, when
// it cannot, why: no reader on the bus, no permission on its device node, its
// interface in use. It reports every reader, with its location and its
// module's identifier, and names the photo decoder that programs get. Serial
// ports are checked when named (--serial, or VESSIK_SERIAL_READERS): the
// device, this user's access to it, and whether a module answers on it.
// It also says whether vessikd is up, and whom it admits.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libusb.h>
#include <string>
#include <vector>

#include "NvUsb.h"
#include "capture.h"
#include "checks.h"
#include "config.h"
#include "exit_status.h"
#include "photo_decoder_probe.h"
#include "reader_list.h"
#include "reader_location.h"
#include "serial_checks.h"
#include "service_check.h"
#include "vessik_read.h"
#include "vessik_usb_ids.h"

namespace {

using doctor::kExitNoReader;
using doctor::kExitNotUsable;
using doctor::kExitReady;
using doctor::kExitUsage;

constexpr long kMaxReads = 1000;
constexpr long kMaxPort = 65535;

const char *const kUsage =
    "Usage: vessik-doctor [--serial DEVICE[@RATE]]... [--service-port PORT]\n"
    "       vessik-doctor --capture FILE [--reads N] [--reader WHERE] [--keep-module-id]\n"
    "Lists the card readers (USB %04x:%04x) on this machine and checks for each one\n"
    "whether this user can open its device node, whether a kernel driver or another\n"
    "program holds its interface 0, and which module it carries (opened briefly when\n"
    "its interface is free); which photo decoder programs get; and whether vessikd\n"
    "is up, with whom it admits (users, origins, token).\n"
    "\n"
    "  --serial DEVICE[@RATE]  also check a security module on this serial port\n"
    "                          (e.g. /dev/ttyUSB0 or /dev/ttyS1@57600): the device,\n"
    "                          this user's access to it, whether a module answers\n"
    "                          its status query, and its identifier. Without it,\n"
    "                          the ports in VESSIK_SERIAL_READERS are checked.\n"
    "  --service-port PORT     look for vessikd on 127.0.0.1:PORT (default: the port\n"
    "                          of %s, else 19904)\n"
    "\n"
    "With --capture it reads a card N times (default 1; it asks you to lay the card\n"
    "on and lift it) from the reader at WHERE (default usb: the first USB reader)\n"
    "and writes FILE: JSON lines with the kit's version, the reader's USB\n"
    "descriptors (no serial number), every frame with its timing, and each\n"
    "command's answer times. The card's text, photo, fingerprint templates and\n"
    "appended address are replaced by the kit's made-up sample card before\n"
    "anything is written; the module's identifier is zeroed unless\n"
    "--keep-module-id is given. vessik-virtual-reader --profile FILE replays it.\n"
    "\n"
    "Exit status: 0 a card read can start on at least one reader (--capture: the\n"
    "capture was written); 1 no reader found; 2 readers are there but none can be\n"
    "used (--capture: a read failed or FILE could not be written); 3 bad command line.\n";

// --capture's options; false when the command line is not one of them.
bool parse_capture(int argc, char **argv, doctor::CaptureOptions *out)
{
    bool have_file = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--capture" && has_value) {
            out->file = argv[++i];
            have_file = !out->file.empty();
        } else if (arg == "--reads" && has_value) {
            char *end = nullptr;
            const long n = strtol(argv[++i], &end, 10);
            if (*end != '\0' || n < 1 || n > kMaxReads)
                return false;
            out->reads = static_cast<int>(n);
        } else if (arg == "--reader" && has_value) {
            out->reader = argv[++i];
        } else if (arg == "--keep-module-id") {
            out->keep_module_id = true;
        } else {
            return false;
        }
    }
    return have_file;
}

constexpr char kRootGroup[] = "root";

// Readers seen, and those a card read can start on.
struct Tally {
    int found = 0;
    int ready = 0;
};

void print_decoder(const vessik_tools::PhotoDecoderProbe &decoder)
{
    if (decoder.file == nullptr) {
        puts("photo decoder: none loaded (nothing supplies saveWlt2BmpUseFork)");
        // Why: not there at all, or there and unloadable (a missing library
        // of its own, another architecture).
        if (!decoder.load_error.empty())
            printf("  %s\n", decoder.load_error.c_str());
    } else if (decoder.standin)
        printf("photo decoder: %s is the kit's stand-in: card photos will not be decoded "
               "until the real libwltdec64 takes its place\n",
               decoder.file);
    else
        printf("photo decoder: %s\n", decoder.file);
}

void print_node(const doctor::NodeCheck &node)
{
    if (node.opens)
        printf("  device node %s: this user can open it\n", node.path);
    else if (node.error == EACCES || node.error == EPERM)
        printf(
            "  device node %s: permission denied for this user (install the udev rule "
            "60-vessik.rules and plug the reader in again; a service account joins group vessik)\n",
            node.path);
    else
        printf("  device node %s: cannot be opened (%s)\n", node.path, strerror(node.error));
}

void print_kernel_driver(const doctor::InterfaceCheck &iface)
{
    using doctor::InterfaceState;
    if (iface.state == InterfaceState::NotOpened)
        printf("  kernel driver on interface 0: not checked, libusb_open failed (%s)\n",
               libusb_error_name(iface.usb_error));
    else if (iface.state == InterfaceState::KernelDriver)
        puts("  kernel driver on interface 0: yes; the library detaches it when it connects");
    else if (iface.driver_known)
        puts("  kernel driver on interface 0: none");
    else
        puts("  kernel driver on interface 0: unknown (the kernel could not say)");
}

void print_claim(const doctor::InterfaceCheck &iface)
{
    using doctor::InterfaceState;
    switch (iface.state) {
    case InterfaceState::Free:
        puts("  interface 0: free (claimed and released)");
        break;
    case InterfaceState::Unconfigured:
        printf("  interface 0: configuration %d is active; the library selects %d when it "
               "connects\n",
               iface.configuration, vessik::kReaderConfiguration);
        break;
    case InterfaceState::Busy:
        printf("  interface 0: in use by another program (%s)\n",
               libusb_error_name(iface.usb_error));
        break;
    case InterfaceState::ClaimFailed:
        printf("  interface 0: cannot be claimed (%s)\n", libusb_error_name(iface.usb_error));
        break;
    case InterfaceState::NotOpened:
    case InterfaceState::KernelDriver:
        break; // said with the kernel driver
    }
}

// The module's identifier, asked through the library with the reader
// opened briefly; only a free interface is opened, so that the doctor
// detaches no kernel driver and sets no configuration.
void print_module(const char *location, const doctor::InterfaceCheck &iface)
{
    if (iface.state != doctor::InterfaceState::Free) {
        puts("  module identifier: not asked (the interface is not free)");
        return;
    }
    vessik_reader *reader = nullptr;
    const int opened = vessik_reader_open(location, &reader);
    if (opened != VESSIK_OK) {
        printf("  module identifier: unknown, the reader does not open (%s)\n",
               vessik_strerror(opened));
        return;
    }
    vessik_reader_info info;
    vessik_reader_info_init(&info);
    vessik_reader_get_info(reader, &info);
    vessik_reader_close(reader);
    if (info.module_id_len > 0)
        printf("  module identifier: %s\n", info.module_id_hex);
    else
        puts("  module identifier: unknown, the module did not answer");
}

// Prints one reader in print_devs's format with its checks below it.
bool report_reader(NvUsb &usb, const vessik_reader_info &info, libusb_device *dev)
{
    libusb_device *one[] = {dev, nullptr};
    usb.print_devs(one);
    printf("  location: %s\n", info.location);
    const doctor::NodeCheck node = doctor::check_node(dev);
    print_node(node);
    if (!node.opens)
        return false;
    const doctor::InterfaceCheck iface = doctor::check_interface(dev);
    print_kernel_driver(iface);
    print_claim(iface);
    print_module(info.location, iface);
    return doctor::read_can_start(node, iface);
}

// The readers as the library lists them; `count` is how many.
std::vector<vessik_reader_info> list_readers(int *count)
{
    *count = vessik_reader_list(nullptr, 0);
    std::vector<vessik_reader_info> infos(static_cast<size_t>(*count > 0 ? *count : 0));
    for (vessik_reader_info &info : infos)
        vessik_reader_info_init(&info);
    if (!infos.empty()) {
        const int listed = vessik_reader_list(infos.data(), static_cast<int>(infos.size()));
        infos.resize(static_cast<size_t>(listed < 0 ? 0 : std::min<int>(listed, *count)));
    }
    *count = static_cast<int>(infos.size());
    return infos;
}

// The USB readers among those listed, each with its checks. False when USB
// devices cannot be listed here at all.
bool report_usb_readers(libusb_context *context, const std::vector<vessik_reader_info> &listed,
                        Tally *tally)
{
    libusb_device **all = nullptr;
    const ssize_t devices = libusb_get_device_list(context, &all);
    if (devices < 0) {
        printf("no reader: USB devices cannot be listed here (%s)\n",
               libusb_error_name(static_cast<int>(devices)));
        return false;
    }
    std::vector<vessik_reader_info> readers;
    for (const vessik_reader_info &info : listed) {
        if (info.transport == VESSIK_TRANSPORT_USB)
            readers.push_back(info);
    }
    printf("readers found: %zu (of %zd USB devices)\n", readers.size(), devices);

    NvUsb usb;
    for (const vessik_reader_info &info : readers) {
        libusb_device *dev = vessik_tools::device_at(all, info.location);
        if (dev == nullptr) {
            printf("%s: gone from the bus while the doctor looked\n", info.location);
            continue;
        }
        ++tally->found;
        tally->ready += report_reader(usb, info, dev) ? 1 : 0;
    }
    libusb_free_device_list(all, 1);
    return true;
}

void print_serial_access(const doctor::SerialPortCheck &port)
{
    if (port.can_open) {
        puts("  access: this user can open it for reading and writing");
    } else if (port.access_error != EACCES && port.access_error != EPERM) {
        printf("  access: cannot be checked (%s)\n", strerror(port.access_error));
    } else if (port.group == kRootGroup) {
        puts("  access: permission denied for this user: the port is root's alone (give it to "
             "group dialout, with a udev rule for a USB-serial bridge, and add the user to "
             "dialout)");
    } else if (!port.in_group) {
        printf("  access: permission denied for this user, who is not in group %s (add it: "
               "sudo usermod -aG %s USER, then log in again)\n",
               port.group.c_str(), port.group.c_str());
    } else {
        printf("  access: permission denied for this user, though it is in group %s (mode "
               "%04o does not let the group read and write)\n",
               port.group.c_str(), static_cast<unsigned>(port.mode));
    }
}

// Opens the port through the library, which asks the module for its status
// and identifier; closed again at once. True when a module answered.
bool print_serial_module(const std::string &location, const vessik::Location &line)
{
    vessik_reader *reader = nullptr;
    const int opened = vessik_reader_open(location.c_str(), &reader);
    if (opened == VESSIK_E_READER_IN_USE) {
        puts("  module: not asked, another program holds the port");
        return false;
    }
    if (opened != VESSIK_OK) {
        printf("  module: not asked, the port does not open (%s)\n", vessik_strerror(opened));
        return false;
    }
    vessik_reader_info info;
    vessik_reader_info_init(&info);
    vessik_reader_get_info(reader, &info);
    vessik_reader_close(reader);
    if (info.module_id_len == 0) {
        printf("  module: no module answers at %d baud (check the wiring, the module's power and "
               "its rate: --serial %s@9600 tries another)\n",
               line.serial_rate, line.serial_device);
        return false;
    }
    printf("  module: answers its status query at %d baud, identifier %s\n", line.serial_rate,
           info.module_id_hex);
    return true;
}

// One serial port with its checks below it.
void report_serial_port(const std::string &location, Tally *tally)
{
    vessik::Location line;
    if (vessik::ParseLocation(location.c_str(), &line) != VESSIK_OK ||
        line.kind != vessik::LocationKind::Serial) {
        char rates[vessik::kLocationBytes] = "";
        vessik::FormatModuleRates(rates, sizeof rates);
        printf("serial port %s\n", location.c_str());
        printf("  location: not one the library opens (a device's full path, with @RATE "
               "one of %s)\n",
               rates);
        return;
    }
    const std::string device = line.serial_device;
    printf("serial port %s\n", device.c_str());
    printf("  location: %s\n", location.c_str());
    const doctor::SerialPortCheck port = doctor::check_serial_port(device.c_str());
    if (!port.exists) {
        if (port.stat_error == ENOENT)
            puts("  device: does not exist (a USB-serial bridge appears as /dev/ttyUSB0 or "
                 "/dev/ttyACM0 once plugged in; a board's own UART as /dev/ttyS0 or "
                 "/dev/ttyAMA0)");
        else
            printf("  device: cannot be looked at (%s)\n", strerror(port.stat_error));
        return;
    }
    ++tally->found;
    if (!port.is_terminal) {
        puts("  device: there, but not a terminal device");
        return;
    }
    printf("  device: there (owner %s, group %s, mode %04o)\n", port.owner.c_str(),
           port.group.c_str(), static_cast<unsigned>(port.mode));
    print_serial_access(port);
    if (!port.can_open) {
        puts("  module: not asked (the port does not open for this user)");
        return;
    }
    tally->ready += print_serial_module(location, line) ? 1 : 0;
}

// "serial:DEVICE[@RATE]" for a port named on the command line.
std::string serial_location(const std::string &named)
{
    const std::string prefix = vessik::kSerialLocationPrefix;
    if (named.compare(0, prefix.size(), prefix) == 0)
        return named;
    return prefix + named;
}

// The ports to check: those named, or else those the library lists from
// VESSIK_SERIAL_READERS.
std::vector<std::string> serial_ports(const std::vector<std::string> &named,
                                      const std::vector<vessik_reader_info> &listed)
{
    std::vector<std::string> ports;
    for (const std::string &port : named)
        ports.push_back(serial_location(port));
    if (!named.empty())
        return ports;
    for (const vessik_reader_info &info : listed) {
        if (info.transport == VESSIK_TRANSPORT_SERIAL)
            ports.emplace_back(info.location);
    }
    return ports;
}

// The verdict over every reader, USB and serial.
int verdict(const Tally &tally, bool serial_checked)
{
    if (tally.found == 0) {
        if (serial_checked)
            puts("no reader: no USB reader is connected and no serial port above is there");
        else
            printf("no reader: no USB reader %04x:%04x is connected\n", vessik::kReaderVendorId,
                   vessik::kReaderProductId);
        return kExitNoReader;
    }
    if (tally.found > 1)
        printf("a read can start on %d of %d readers (vessik-read --reader LOCATION reads "
               "from one of them)\n",
               tally.ready, tally.found);
    if (tally.ready == 0) {
        puts("not ready: no reader can be used, see above");
        return kExitNotUsable;
    }
    puts("ready: a card read can start");
    return kExitReady;
}

// The value of `option` in `arg` (--option=VALUE) or in the next argument;
// false when `arg` is another option.
bool option_value(const std::string &option, int argc, char **argv, int &i, std::string &value)
{
    const std::string arg = argv[i];
    if (arg == option && i + 1 < argc) {
        value = argv[++i];
        return true;
    }
    if (arg.compare(0, option.size() + 1, option + "=") == 0 && arg.size() > option.size() + 1) {
        value = arg.substr(option.size() + 1);
        return true;
    }
    return false;
}

// --serial DEVICE[@RATE] (or --serial=...), repeatable, and --service-port
// PORT; false for anything else on the command line.
bool parse_options(int argc, char **argv, std::vector<std::string> *serial, int *service_port)
{
    for (int i = 1; i < argc; ++i) {
        std::string value;
        if (option_value("--serial", argc, argv, i, value)) {
            serial->push_back(value);
        } else if (option_value("--service-port", argc, argv, i, value)) {
            char *end = nullptr;
            const long port = strtol(value.c_str(), &end, 10);
            if (*end != '\0' || port < 1 || port > kMaxPort)
                return false;
            *service_port = static_cast<int>(port);
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    doctor::CaptureOptions capture;
    if (argc > 1 && parse_capture(argc, argv, &capture))
        return doctor::RunCapture(capture);
    const bool help = argc > 1 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0);
    std::vector<std::string> named_ports;
    int service_port = 0;
    if (help || !parse_options(argc, argv, &named_ports, &service_port)) {
        fprintf(help ? stdout : stderr, kUsage, vessik::kReaderVendorId, vessik::kReaderProductId,
                vessikd::kDefaultConfigPath);
        return help && argc == 2 ? kExitReady : kExitUsage;
    }

    print_decoder(vessik_tools::load_photo_decoder());
    doctor::report_service(service_port > 0 ? service_port : doctor::service_port_from_settings());

    int count = 0;
    const std::vector<vessik_reader_info> listed = list_readers(&count);
    const std::vector<std::string> ports = serial_ports(named_ports, listed);
    Tally tally;
    libusb_context *context = nullptr;
    const int rc = libusb_init(&context);
    if (rc < 0) {
        // Alone it is the verdict; before serial ports, one finding of several.
        printf("%sUSB is not available here (libusb_init: %s)\n",
               ports.empty() ? "no reader: " : "", libusb_error_name(rc));
        if (ports.empty())
            return kExitNoReader;
    } else {
        const bool usb_listed = report_usb_readers(context, listed, &tally);
        libusb_exit(context);
        if (!usb_listed && ports.empty())
            return kExitNoReader;
    }
    for (const std::string &port : ports)
        report_serial_port(port, &tally);
    return verdict(tally, !ports.empty());
}
