// USB link to the reader over libusb-1.0, which the loading program supplies.
#include "NvUsb.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <libusb.h>

#include "Public.h"

using namespace vessik;

NvUsb::NvUsb() : dev_handle(nullptr), usb_context(nullptr) {}

NvUsb::~NvUsb()
{
    DisConnectUsb();
}

int NvUsb::ConnectUsb()
{
    // A second connect on an open object would drop the first handle and
    // context on the floor: release them before starting over.
    if (dev_handle != nullptr || usb_context != nullptr)
        DisConnectUsb();

    libusb_context *context = nullptr;
    if (libusb_init(&context) < 0) {
        perror("Init Error\n");
        return -1;
    }
    usb_context = context;

    libusb_device **devices = nullptr;
    if (libusb_get_device_list(usb_context, &devices) < 0) {
        perror("Get Device Error\n");
        return -1;
    }
    dev_handle = libusb_open_device_with_vid_pid(usb_context, kReaderVendorId, kReaderProductId);
    libusb_free_device_list(devices, 1);
    if (dev_handle == nullptr) {
        perror("Cannot open device,Please check device...\n");
        return -1;
    }

    if (libusb_kernel_driver_active(dev_handle, kReaderInterface) == 1)
        libusb_detach_kernel_driver(dev_handle, kReaderInterface);
    if (libusb_set_configuration(dev_handle, kReaderConfiguration) != 0)
        LOG_Str("[USB]", "usb_set_configuration ERR");
    if (libusb_kernel_driver_active(dev_handle, kReaderInterface) == 1) {
        puts("USB Kernel Driver Active ");
        if (libusb_kernel_driver_active(dev_handle, kReaderInterface) == 0)
            puts("Kernel Driver Detached ");
    }
    libusb_detach_kernel_driver(dev_handle, kReaderInterface);

    const int r = libusb_claim_interface(dev_handle, kReaderInterface);
    if (r >= 0) {
        puts("Claimed Interface");
        return 0;
    }
    printf("r= %d\r\n", r);
    perror("Cannot Claim Interface\n");
    return -1;
}

int NvUsb::ReadUsb(unsigned char *buf, int timeout)
{
    return ReadUsb(buf, kReplyBufferBytes, timeout);
}

int NvUsb::ReadUsb(unsigned char *buf, int capacity, int timeout)
{
    if (dev_handle == nullptr) {
        puts("dev_handle == NULL\r");
        return -1;
    }
    // The header lands at the start and the body from offset 7 on, so the
    // buffer must at least hold a header.
    if (buf == nullptr || capacity < kFrameHeaderBytes)
        return -1;

    unsigned char staging[kInStageBytes];
    int count = 0; // shared by both stages, as the reader's answers are counted

    if (libusb_bulk_transfer(dev_handle, kEndpointHeaderIn, staging, kInStageBytes, &count,
                             timeout) == 0)
        memcpy(buf, staging, static_cast<size_t>(std::min(count, capacity)));

    if (libusb_bulk_transfer(dev_handle, kEndpointBodyIn, staging, kInStageBytes, &count,
                             timeout) != 0)
        return count;

    // An answer longer than the caller's buffer is cut; the result counts
    // only what was placed.
    const int placed = std::min(count, capacity - kFrameHeaderBytes);
    memcpy(buf + kFrameHeaderBytes, staging, static_cast<size_t>(placed));
    return placed + kFrameHeaderBytes;
}

int NvUsb::WriteUsb(unsigned char *frame, int len)
{
    if (dev_handle == nullptr)
        return -1;
    if (frame == nullptr || len < 0)
        return LIBUSB_ERROR_INVALID_PARAM;

    int count = 0;
    // The controller's short frames go out whole as one header-stage
    // transfer; nothing beyond the frame is sent.
    const int header_len = std::min(len, kFrameHeaderBytes);
    int rc = libusb_bulk_transfer(dev_handle, kEndpointHeaderOut, frame, header_len, &count,
                                  kOutStageTimeoutMs);
    if (rc != 0) {
        libusb_clear_halt(dev_handle, kEndpointHeaderOut);
        LOG_Str("[WriteUsb]", "USB Write ERR");
        return rc;
    }
    if (len < kFrameHeaderBytes)
        return 0;

    count = 0;
    rc = libusb_bulk_transfer(dev_handle, kEndpointBodyOut, frame + kFrameHeaderBytes,
                              len - kFrameHeaderBytes, &count, kOutStageTimeoutMs);
    if (rc != 0) {
        libusb_clear_halt(dev_handle, kEndpointBodyOut);
        LOG_Str("[WriteUsb]", "USB Write ERR");
        return rc;
    }
    return count;
}

void NvUsb::DisConnectUsb()
{
    if (dev_handle != nullptr) {
        libusb_release_interface(dev_handle, kReaderInterface);
        libusb_close(dev_handle);
        dev_handle = nullptr;
        puts("disconnect usb ");
    }
    if (usb_context != nullptr) {
        libusb_exit(usb_context);
        usb_context = nullptr;
    }
}

void NvUsb::Resetep()
{
    if (dev_handle != nullptr)
        libusb_reset_device(dev_handle);
}

int NvUsb::GetUsbStatus()
{
    if (dev_handle == nullptr)
        return -1;
    int configuration = 0;
    return libusb_get_configuration(dev_handle, &configuration);
}

void NvUsb::print_devs(libusb_device **devs)
{
    if (devs == nullptr)
        return;
    for (int i = 0; devs[i] != nullptr; ++i) {
        libusb_device *dev = devs[i];
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(dev, &desc) < 0) {
            fprintf(stderr, "failed to get device descriptor");
            return;
        }
        printf("%04x:%04x (bus %d, device %d)", desc.idVendor, desc.idProduct,
               libusb_get_bus_number(dev), libusb_get_device_address(dev));
        uint8_t path[kMaxPortNumbers];
        const int ports = libusb_get_port_numbers(dev, path, kMaxPortNumbers);
        if (ports > 0) {
            printf(" path: %d", path[0]);
            for (int j = 1; j < ports; ++j)
                printf(".%d", path[j]);
        }
        putchar('\n');
    }
}
