// SPDX-License-Identifier: LGPL-2.1-or-later
// The USB reader as a device, written once under both surfaces (NvUsb and
// the reader handles' link): claiming its interface, writing a frame in its
// two stages, reading one stage with a timeout, letting go. Every frame
// crosses the bus as a 7-byte header stage and a body stage, on separate
// bulk endpoints. Internal.
#ifndef VESSIK_USB_DEVICE_H
#define VESSIK_USB_DEVICE_H

struct libusb_context;
struct libusb_device_handle;

namespace vessik {
namespace usb {

constexpr unsigned char kEndpointHeaderOut = 0x02;
constexpr unsigned char kEndpointBodyOut = 0x06;
constexpr unsigned char kEndpointHeaderIn = 0x81;
constexpr unsigned char kEndpointBodyIn = 0x85;
constexpr int kFrameHeaderBytes = 7;    // preamble (5) + length (2)
constexpr int kInStageBytes = 2048;     // asked for by each IN stage
constexpr int kReplyBufferBytes = 2048; // what every documented caller hands ReadUsb
constexpr unsigned kOutStageTimeoutMs = 100;
// USB allows hubs seven deep: a device's port path has at most this many numbers.
constexpr int kMaxPortDepth = 7;

// The documented connect says what it does on standard output; a reader
// handle's open says nothing.
enum class ClaimVoice { Documented, Quiet };

// Detaches a kernel driver, selects the configuration and claims the
// interface: libusb's result of the claim (0, or a negative code).
int ClaimReader(libusb_device_handle *handle, ClaimVoice voice);
// Writes a frame in its two stages: the body bytes sent, or a negative
// libusb code of the stage that failed (its endpoint's halt cleared).
// Frames under 7 bytes go out whole as the header stage, and 0 comes back.
int WriteFrame(libusb_device_handle *handle, const unsigned char *frame, int len);
// One IN stage on `endpoint` into `dest` (`room` bytes), waiting up to
// `timeout_ms`: libusb's result; *count says what arrived, also on a timeout.
int ReadStage(libusb_device_handle *handle, unsigned char endpoint, unsigned char *dest, int room,
              int *count, unsigned timeout_ms);
// Releases the interface and closes the device, if one is open; *handle goes
// back to null. True when a device was closed.
bool ReleaseReader(libusb_device_handle **handle);
// Ends the libusb context, if there is one; *context goes back to null.
void EndContext(libusb_context **context);

} // namespace usb
} // namespace vessik

#endif
