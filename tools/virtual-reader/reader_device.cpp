// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader's USB device in a umockdev testbed, served from the model.
#include "reader_device.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ftw.h>
#include <linux/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <optional>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The record libusb enumerates: one full-speed device, configuration 1,
// interface 0 (vendor class) with bulk endpoints 02, 06 out and 81, 85 in.
// Attribute values carry a literal "\n" as sysfs files end in a newline.
// libusb takes the port path from the sysfs name: 1-K is bus 1, port K.
constexpr const char *kSysParent = "/devices/pci0000:00/0000:00:14.0/usb1/1-";
constexpr const char *kBusNodes = "bus/usb/001/";
constexpr const char *kDescriptors =
    "120100020000004000045AC300010000000109022E0001010080320904000004FF000000"
    "07050202400000070506024000000705810240000007058502400000";
constexpr int kFirstDeviceNumber = 2; // the root hub is device 1
constexpr const char *kWakeFifoName = "vessik-wake-fifo-";
constexpr const char *kPretendDriver = "vsim-reader"; // bound at plug-in when a fault asks for one
constexpr const char *kUsbfsDriver = "usbfs";         // what a claimed interface reports

constexpr uint32_t kCapabilities = USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
constexpr int kFtwOpenFds = 16;

// `bytes` of the client's memory at `offset` into `parent`; nullptr when the
// client's pointer does not reach them.
UMockdevIoctlData *resolve(UMockdevIoctlData *parent, gsize offset, gsize bytes)
{
    GError *err = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(parent, offset, bytes, &err);
    g_clear_error(&err);
    return data;
}

// The ioctl's argument, `bytes` of it.
UMockdevIoctlData *argument_of(UMockdevIoctlClient *client, gsize bytes)
{
    return resolve(umockdev_ioctl_client_get_arg(client), 0, bytes);
}

bool is_in_endpoint(unsigned ep)
{
    return ep == vsim::kEpHeaderIn || ep == vsim::kEpBodyIn;
}
bool is_out_endpoint(unsigned ep)
{
    return ep == vsim::kEpHeaderOut || ep == vsim::kEpBodyOut;
}

// errno for a device request the model refused.
int request_errno(vsim::UsbStatus s)
{
    switch (s) {
    case vsim::UsbStatus::Ok:
        return 0;
    case vsim::UsbStatus::NothingReady:
        return EAGAIN;
    case vsim::UsbStatus::Timeout:
        return ETIMEDOUT;
    case vsim::UsbStatus::Stall:
        return EPIPE;
    case vsim::UsbStatus::NoDevice:
        return ENODEV;
    case vsim::UsbStatus::IoError:
        return EIO;
    case vsim::UsbStatus::Access:
        return EACCES;
    case vsim::UsbStatus::Busy:
        return EBUSY;
    case vsim::UsbStatus::NotFound:
        return ENOENT;
    case vsim::UsbStatus::Overflow:
        return EOVERFLOW;
    case vsim::UsbStatus::InvalidParam:
        return EINVAL;
    }
    return EIO;
}

// URB status (a negative errno) for the end of a transfer.
int urb_status(vsim::UsbStatus s)
{
    switch (s) {
    case vsim::UsbStatus::Ok:
        return 0;
    case vsim::UsbStatus::Stall:
        return -EPIPE;
    case vsim::UsbStatus::NoDevice:
        return -ENODEV;
    case vsim::UsbStatus::Overflow:
        return -EOVERFLOW;
    default:
        return -EPROTO; // libusb: a bus error, LIBUSB_ERROR_IO
    }
}

usbdevfs_urb *urb_of(UMockdevIoctlData *data)
{
    return reinterpret_cast<usbdevfs_urb *>(data->data);
}

int remove_entry(const char *path, const struct stat *, int, FTW *)
{
    return remove(path);
}

// Device numbers as usbfs names its nodes: three digits.
std::string three_digits(int n)
{
    char text[16];
    std::snprintf(text, sizeof text, "%03d", n);
    return text;
}

} // namespace

Testbed::~Testbed()
{
    close();
}

bool Testbed::open(std::string &error)
{
    testbed_ = umockdev_testbed_new();
    if (testbed_ == nullptr) {
        error = "cannot create the umockdev testbed";
        return false;
    }
    gchar *root = umockdev_testbed_get_root_dir(testbed_);
    root_dir_ = root;
    g_free(root);
    return true;
}

void Testbed::close()
{
    if (testbed_ != nullptr) {
        g_object_unref(testbed_); // removes its folder
        testbed_ = nullptr;
    }
    struct stat st {};
    if (!root_dir_.empty() && lstat(root_dir_.c_str(), &st) == 0)
        nftw(root_dir_.c_str(), remove_entry, kFtwOpenFds, FTW_DEPTH | FTW_PHYS);
    root_dir_.clear();
}

ReaderDevice::ReaderDevice(vsim::VirtualReader &model, const MonotonicClock &clock, int number)
    : model_(model), clock_(clock), number_(number)
{
    const std::string port = std::to_string(number);
    const int device_number = kFirstDeviceNumber + number - 1;
    const std::string node = std::string(kBusNodes) + three_digits(device_number);
    sys_path_ = std::string("/sys") + kSysParent + port;
    dev_node_ = "/dev/" + node;
    const std::string lines[] = {
        "P: " + std::string(kSysParent) + port,
        "N: " + node,
        "E: SUBSYSTEM=usb",
        "E: DEVTYPE=usb_device",
        "E: DEVNAME=" + dev_node_,
        "E: BUSNUM=001",
        "E: DEVNUM=" + three_digits(device_number),
        "E: PRODUCT=400/c35a/100",
        "A: busnum=1\\n",
        "A: devnum=" + std::to_string(device_number) + "\\n",
        "A: bConfigurationValue=1\\n",
        "A: speed=12\\n",
        std::string("H: descriptors=") + kDescriptors,
    };
    for (const std::string &line : lines)
        record_ += line + "\n";
}

ReaderDevice::~ReaderDevice()
{
    detach();
}

bool ReaderDevice::attach(Testbed &testbed, std::string &error)
{
    notify_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (notify_fd_ < 0) {
        error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    testbed_ = testbed.get();
    root_dir_ = testbed.root_dir();
    if (!wake_.create(root_dir_ + "/" + kWakeFifoName + std::to_string(number_), error))
        return false;

    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    g_signal_connect(handler_, "client-connected", G_CALLBACK(on_client_connected), this);
    return true;
}

bool ReaderDevice::add_device_record(std::string &error)
{
    GError *err = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record_.c_str(), &err)) {
        error = std::string("cannot add the reader to the testbed: ") + err->message;
        g_clear_error(&err);
        return false;
    }
    return wake_.replace_node(root_dir_ + dev_node_, error);
}

bool ReaderDevice::plug(std::string &error)
{
    if (on_bus_)
        return true;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!model_.present())
            model_.replug();
        model_unplugged_ = false;
    }
    if (!add_device_record(error))
        return false;
    if (!ioctls_attached_) { // the handler's socket outlives unplugs
        GError *err = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, dev_node_.c_str(), handler_, &err)) {
            error = std::string("cannot attach the ioctl handler: ") + err->message;
            g_clear_error(&err);
            return false;
        }
        ioctls_attached_ = true;
    }
    on_bus_ = true;
    send_uevent("add");
    return true;
}

void ReaderDevice::unplug()
{
    announce_removal(); // before the client can see a transfer fail
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (model_.present())
            model_.unplug();
        model_unplugged_ = false;
        end_waiting_urbs(nullptr, -ENODEV);
        update_wake();
    }
    if (!on_bus_)
        return;
    take_off_bus();
}

// A client that sees its transfers fail may exit at once, closing its uevent
// socket while umockdev sends to it, which aborts umockdev 0.17's sender
// (a sendmsg failure after the connect). So the removal is announced before
// the client can see anything fail, and only once.
void ReaderDevice::announce_removal()
{
    if (on_bus_ && !removal_announced_.exchange(true))
        send_uevent("remove");
}

void ReaderDevice::take_off_bus()
{
    announce_removal();
    removal_announced_ = false;
    umockdev_testbed_remove_device(testbed_, sys_path_.c_str());
    on_bus_ = false;
}

void ReaderDevice::send_uevent(const char *action)
{
    if (!uevents_)
        return;
    umockdev_testbed_uevent(testbed_, sys_path_.c_str(), action);
}

void ReaderDevice::detach()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (Urb &u : waiting_)
            unref_urb(u);
        for (Urb &u : done_)
            unref_urb(u);
        waiting_.clear();
        done_.clear();
        for (UMockdevIoctlClient *c : clients_)
            g_object_unref(c);
        clients_.clear();
        claimant_ = nullptr;
    }
    if (handler_ != nullptr) {
        g_signal_handlers_disconnect_by_data(handler_, this);
        g_object_unref(handler_);
        handler_ = nullptr;
    }
    wake_.close_fifo();
    testbed_ = nullptr;
    root_dir_.clear();
    if (notify_fd_ >= 0)
        close(notify_fd_);
    notify_fd_ = -1;
}

void ReaderDevice::insert_card(const vsim::CardFields &card)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    model_.insert_card(card);
}

void ReaderDevice::remove_card()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    model_.remove_card();
}

void ReaderDevice::replace_model(vsim::VirtualReader fresh)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    model_ = std::move(fresh);
    if (!on_bus_ || model_unplugged_)
        model_.unplug(); // off the bus, or about to be: plug() brings it back
}

vsim::Counters ReaderDevice::counters()
{
    const std::lock_guard<std::mutex> lock(mutex_);
    return model_.counters();
}

uint64_t ReaderDevice::service()
{
    uint64_t dummy = 0;
    while (read(notify_fd_, &dummy, sizeof dummy) > 0) {
    }
    bool went_away = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        announced_deadline_ = kNever;
        servicing_ = true;
        pump(clock_.now_us());
        update_wake();
        servicing_ = false;
        went_away = model_unplugged_;
        model_unplugged_ = false;
    }
    if (went_away && on_bus_)
        take_off_bus();
    const std::lock_guard<std::mutex> lock(mutex_);
    return announced_deadline_;
}

// --- ioctl handler (umockdev's worker thread) ----------------------------------------

gboolean ReaderDevice::on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer self)
{
    auto *dev = static_cast<ReaderDevice *>(self);
    Completion done{};
    {
        const std::lock_guard<std::mutex> lock(dev->mutex_);
        done = dev->handle(client, umockdev_ioctl_client_get_request(client));
    }
    umockdev_ioctl_client_complete(client, done.result, done.error);
    return TRUE;
}

void ReaderDevice::on_client_connected(UMockdevIoctlBase *, UMockdevIoctlClient *client,
                                       gpointer self)
{
    auto *dev = static_cast<ReaderDevice *>(self);
    const std::lock_guard<std::mutex> lock(dev->mutex_);
    dev->prune_clients();
    dev->clients_.push_back(static_cast<UMockdevIoctlClient *>(g_object_ref(client)));
}

ReaderDevice::Completion ReaderDevice::handle(UMockdevIoctlClient *client, unsigned long request)
{
    const Completion no_device{-1, ENODEV};
    const Completion ok{0, 0};
    unsigned value = 0;

    switch (request) {
    case USBDEVFS_SUBMITURB:
        return submit_urb(client);
    case USBDEVFS_REAPURBNDELAY:
    case USBDEVFS_REAPURB: // libusb never blocks in a reap; answered like the NDELAY form
        return reap_urb(client);
    case USBDEVFS_DISCARDURB:
        return discard_urb(client);
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData *caps = argument_of(client, sizeof(uint32_t));
        if (caps == nullptr)
            return {-1, EFAULT};
        const uint32_t bits = kCapabilities;
        std::memcpy(caps->data, &bits, sizeof bits);
        umockdev_ioctl_data_unref(caps);
        return ok;
    }
    case USBDEVFS_CLAIMINTERFACE:
        if (!read_uint(client, &value))
            return {-1, EFAULT};
        return claim(client, value);
    case USBDEVFS_RELEASEINTERFACE:
        if (!read_uint(client, &value))
            return {-1, EFAULT};
        return release(client, value);
    case USBDEVFS_SETCONFIGURATION:
        return set_configuration(client);
    case USBDEVFS_CLEAR_HALT: {
        if (!read_uint(client, &value))
            return {-1, EFAULT};
        const vsim::UsbStatus s = model_.clear_halt(static_cast<uint8_t>(value));
        return s == vsim::UsbStatus::Ok ? ok : Completion{-1, request_errno(s)};
    }
    case USBDEVFS_RESETEP:
        return model_.present() ? ok : no_device;
    case USBDEVFS_RESET: {
        const vsim::UsbStatus s = model_.reset_device(clock_.now_us());
        return s == vsim::UsbStatus::Ok ? ok : Completion{-1, request_errno(s)};
    }
    case USBDEVFS_IOCTL:
        return usbfs_ioctl(client);
    case USBDEVFS_GETDRIVER:
        return get_driver(client);
    case USBDEVFS_DISCONNECT_CLAIM:
        return disconnect_claim(client);
    case USBDEVFS_GET_SPEED:
        return model_.present() ? Completion{USB_SPEED_FULL, 0} : no_device;
    default:
        return {-1, ENOTTY};
    }
}

bool ReaderDevice::read_uint(UMockdevIoctlClient *client, unsigned *value)
{
    UMockdevIoctlData *d = argument_of(client, sizeof(unsigned));
    if (d == nullptr)
        return false;
    std::memcpy(value, d->data, sizeof *value);
    umockdev_ioctl_data_unref(d);
    return true;
}

// errno for a URB the device cannot take at all; 0 when it can.
int ReaderDevice::refusal(const usbdevfs_urb &u) const
{
    if (!model_.present())
        return ENODEV;
    if (u.buffer_length < 0)
        return EINVAL;
    if (u.type == USBDEVFS_URB_TYPE_CONTROL)
        return 0;
    if (u.type != USBDEVFS_URB_TYPE_BULK)
        return EINVAL; // the reader has no interrupt or isochronous endpoints
    return is_in_endpoint(u.endpoint) || is_out_endpoint(u.endpoint) ? 0 : ENOENT;
}

ReaderDevice::Completion ReaderDevice::submit_urb(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *data = argument_of(client, sizeof(usbdevfs_urb));
    if (data == nullptr)
        return {-1, EFAULT};
    const int refused = refusal(*urb_of(data));
    if (refused != 0) {
        umockdev_ioctl_data_unref(data);
        return {-1, refused};
    }

    Urb urb;
    urb.client = static_cast<UMockdevIoctlClient *>(g_object_ref(client));
    urb.urb = data;
    urb.endpoint = urb_of(data)->endpoint;
    const int length = urb_of(data)->buffer_length;
    if (length > 0) {
        urb.buffer = resolve(data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(length));
        if (urb.buffer == nullptr) {
            unref_urb(urb);
            return {-1, EFAULT};
        }
    }

    const uint64_t now = clock_.now_us();
    if (urb_of(data)->type == USBDEVFS_URB_TYPE_CONTROL) {
        finish(urb, -EPIPE, 0); // the reader answers no control requests of its own
    } else if (is_in_endpoint(urb.endpoint)) {
        waiting_.push_back(urb);
        pump(now);
    } else {
        const int refused_now = write_out(urb, length, now);
        if (refused_now != 0)
            return {-1, refused_now};
    }
    update_wake();
    return {0, 0};
}

// Hands an OUT URB to the model; an errno when the submit itself fails.
int ReaderDevice::write_out(Urb &urb, int length, uint64_t now)
{
    const uint8_t *bytes = urb.buffer != nullptr ? urb.buffer->data : nullptr;
    const vsim::UsbStatus s = model_.out_transfer(urb.endpoint, bytes, length, now);
    if (s == vsim::UsbStatus::NoDevice || s == vsim::UsbStatus::NotFound ||
        s == vsim::UsbStatus::InvalidParam) {
        unref_urb(urb);
        return request_errno(s);
    }
    finish(urb, urb_status(s), s == vsim::UsbStatus::Ok ? length : 0);
    note_model_presence();
    pump(now); // a command may have made data ready for a waiting IN
    return 0;
}

ReaderDevice::Completion ReaderDevice::reap_urb(UMockdevIoctlClient *client)
{
    const auto it = std::find_if(done_.begin(), done_.end(),
                                 [client](const Urb &u) { return u.client == client; });
    if (it == done_.end()) {
        if (!done_.empty())
            prune_clients(); // a dead client's URBs must not keep the node awake
        return {-1, model_.present() ? EAGAIN : ENODEV};
    }

    UMockdevIoctlData *slot = argument_of(client, sizeof(void *));
    if (slot == nullptr)
        return {-1, EFAULT};
    // The client's pointer now names its URB, which goes back with the
    // status, length and (for IN) the data filled in.
    umockdev_ioctl_data_set_ptr(slot, 0, it->urb);
    umockdev_ioctl_data_unref(slot);
    unref_urb(*it);
    done_.erase(it);
    update_wake();
    return {0, 0};
}

ReaderDevice::Completion ReaderDevice::discard_urb(UMockdevIoctlClient *client)
{
    gulong address = 0; // the argument is the URB's own address in the client
    std::memcpy(&address, umockdev_ioctl_client_get_arg(client)->data, sizeof address);
    const auto it = std::find_if(waiting_.begin(), waiting_.end(), [&](const Urb &u) {
        return u.client == client && u.urb->client_addr == address;
    });
    if (it == waiting_.end())
        return {-1, EINVAL}; // already completed: libusb reaps it as usual
    Urb urb = *it;
    waiting_.erase(it);
    finish(urb, -ENOENT, urb.held_bytes);
    update_wake();
    return {0, 0};
}

ReaderDevice::Completion ReaderDevice::claim(UMockdevIoctlClient *client, unsigned iface)
{
    prune_clients();
    if (claimant_ != nullptr && claimant_ != client && model_.present() &&
        iface == static_cast<unsigned>(vsim::kInterface))
        return {-1, EBUSY}; // another descriptor holds it, as usbfs would say
    const vsim::UsbStatus s = model_.claim_interface(static_cast<int>(iface));
    if (s != vsim::UsbStatus::Ok)
        return {-1, request_errno(s)};
    claimant_ = client;
    return {0, 0};
}

ReaderDevice::Completion ReaderDevice::release(UMockdevIoctlClient *client, unsigned iface)
{
    if (claimant_ != client && model_.present())
        return {-1, EINVAL};
    const vsim::UsbStatus s = model_.release_interface(static_cast<int>(iface));
    if (s != vsim::UsbStatus::Ok)
        return {-1, s == vsim::UsbStatus::NotFound ? EINVAL : request_errno(s)};
    claimant_ = nullptr;
    end_waiting_urbs(client, -ENOENT); // releasing kills the interface's URBs
    update_wake();
    return {0, 0};
}

ReaderDevice::Completion ReaderDevice::set_configuration(UMockdevIoctlClient *client)
{
    unsigned value = 0;
    if (!read_uint(client, &value))
        return {-1, EFAULT};
    const vsim::UsbStatus s = model_.set_configuration(static_cast<int>(value));
    if (s == vsim::UsbStatus::NotFound)
        return {-1, EINVAL}; // usbfs: no such configuration
    return s == vsim::UsbStatus::Ok ? Completion{0, 0} : Completion{-1, request_errno(s)};
}

ReaderDevice::Completion ReaderDevice::usbfs_ioctl(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *d = argument_of(client, sizeof(usbdevfs_ioctl));
    if (d == nullptr)
        return {-1, EFAULT};
    usbdevfs_ioctl cmd{};
    std::memcpy(&cmd, d->data, sizeof cmd);
    umockdev_ioctl_data_unref(d);

    if (static_cast<unsigned long>(cmd.ioctl_code) == USBDEVFS_DISCONNECT) {
        const vsim::UsbStatus s = model_.detach_kernel_driver(cmd.ifno);
        if (s == vsim::UsbStatus::NotFound)
            return {-1, ENODATA}; // no driver bound
        return s == vsim::UsbStatus::Ok ? Completion{0, 0} : Completion{-1, request_errno(s)};
    }
    if (static_cast<unsigned long>(cmd.ioctl_code) == USBDEVFS_CONNECT)
        return model_.present() ? Completion{0, 0} : Completion{-1, ENODEV};
    return {-1, ENOTTY};
}

ReaderDevice::Completion ReaderDevice::get_driver(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *d = argument_of(client, sizeof(usbdevfs_getdriver));
    if (d == nullptr)
        return {-1, EFAULT};
    auto *query = reinterpret_cast<usbdevfs_getdriver *>(d->data);
    bool active = false;
    const vsim::UsbStatus s =
        model_.kernel_driver_active(static_cast<int>(query->interface), &active);
    Completion result{0, 0};
    if (s == vsim::UsbStatus::NotFound)
        result = {-1, EINVAL};
    else if (s != vsim::UsbStatus::Ok)
        result = {-1, request_errno(s)};
    else if (active)
        std::snprintf(query->driver, sizeof query->driver, "%s", kPretendDriver);
    else if (claimant_ != nullptr)
        std::snprintf(query->driver, sizeof query->driver, "%s", kUsbfsDriver);
    else
        result = {-1, ENODATA};
    umockdev_ioctl_data_unref(d);
    return result;
}

ReaderDevice::Completion ReaderDevice::disconnect_claim(UMockdevIoctlClient *client)
{
    UMockdevIoctlData *d = argument_of(client, sizeof(usbdevfs_disconnect_claim));
    if (d == nullptr)
        return {-1, EFAULT};
    const unsigned iface = reinterpret_cast<usbdevfs_disconnect_claim *>(d->data)->interface;
    umockdev_ioctl_data_unref(d);
    const vsim::UsbStatus s = model_.detach_kernel_driver(static_cast<int>(iface));
    if (s != vsim::UsbStatus::Ok && s != vsim::UsbStatus::NotFound)
        return {-1, request_errno(s)};
    return claim(client, iface);
}

// --- URB bookkeeping (mutex_ held) -----------------------------------------------------

// Hands data to waiting IN URBs, oldest first on each endpoint, and notes
// when the next answer falls due.
void ReaderDevice::pump(uint64_t now)
{
    for (const uint8_t ep : {vsim::kEpHeaderIn, vsim::kEpBodyIn}) {
        for (;;) {
            const auto it = std::find_if(waiting_.begin(), waiting_.end(), [ep](const Urb &u) {
                return u.endpoint == ep && !u.held;
            });
            if (it == waiting_.end() || !model_.present())
                break;
            uint8_t *buf = it->buffer != nullptr ? it->buffer->data : nullptr;
            int got = 0;
            const vsim::UsbStatus s =
                model_.in_transfer(ep, buf, urb_of(it->urb)->buffer_length, &got, now);
            if (s == vsim::UsbStatus::NothingReady) {
                const std::optional<uint64_t> due = model_.ready_at_us(ep);
                if (due)
                    announce(*due);
                break;
            }
            if (s == vsim::UsbStatus::Timeout) {
                // The bus lets it run into the client's timeout; libusb then
                // discards it and gets whatever got through first.
                it->held = true;
                it->held_bytes = got;
            } else {
                Urb urb = *it;
                waiting_.erase(it);
                finish(urb, urb_status(s), got);
            }
            note_model_presence();
        }
    }
}

void ReaderDevice::finish(Urb &urb, int status, int actual)
{
    usbdevfs_urb *u = urb_of(urb.urb);
    u->status = status;
    u->actual_length = actual;
    done_.push_back(urb);
}

void ReaderDevice::end_waiting_urbs(UMockdevIoctlClient *client, int status)
{
    for (auto it = waiting_.begin(); it != waiting_.end();) {
        if (client != nullptr && it->client != client) {
            ++it;
            continue;
        }
        Urb urb = *it;
        it = waiting_.erase(it);
        finish(urb, status, urb.held_bytes);
    }
}

void ReaderDevice::drop_client(UMockdevIoctlClient *client)
{
    const auto mine = [client](const Urb &u) { return u.client == client; };
    for (std::deque<Urb> *list : {&waiting_, &done_}) {
        for (Urb &u : *list) {
            if (mine(u))
                unref_urb(u);
        }
        list->erase(std::remove_if(list->begin(), list->end(), mine), list->end());
    }
    if (claimant_ == client) {
        model_.release_interface(vsim::kInterface);
        claimant_ = nullptr;
    }
    const auto it = std::find(clients_.begin(), clients_.end(), client);
    if (it != clients_.end()) {
        g_object_unref(client);
        clients_.erase(it);
    }
    update_wake();
}

// umockdev says nothing when a client closes its descriptor or dies, but its
// connection reads closed from then on. Like the kernel, forget the URBs of
// such a client and give its interface back.
void ReaderDevice::prune_clients()
{
    std::vector<UMockdevIoctlClient *> gone;
    for (UMockdevIoctlClient *c : clients_) {
        if (!umockdev_ioctl_client_get_connected(c))
            gone.push_back(c);
    }
    for (UMockdevIoctlClient *c : gone)
        drop_client(c);
}

void ReaderDevice::update_wake()
{
    wake_.set_ready(!done_.empty());
}

void ReaderDevice::announce(uint64_t deadline)
{
    if (deadline >= announced_deadline_)
        return;
    announced_deadline_ = deadline;
    if (servicing_)
        return; // the launcher is already here and takes the new deadline along
    const uint64_t one = 1;
    const ssize_t wrote = write(notify_fd_, &one, sizeof one);
    (void)wrote; // a full counter already wakes the launcher
}

// The model may unplug itself after a number of transfers (a fault knob).
void ReaderDevice::note_model_presence()
{
    if (model_.present() || model_unplugged_)
        return;
    model_unplugged_ = true;
    announce_removal();
    end_waiting_urbs(nullptr, -ENODEV);
    announce(0);
}

void ReaderDevice::unref_urb(Urb &urb)
{
    if (urb.buffer != nullptr)
        umockdev_ioctl_data_unref(urb.buffer);
    if (urb.urb != nullptr)
        umockdev_ioctl_data_unref(urb.urb);
    if (urb.client != nullptr)
        g_object_unref(urb.client);
    urb = Urb{};
}
