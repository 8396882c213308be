// SPDX-License-Identifier: LGPL-2.1-or-later
// A program that supplies only the libusb functions the library's contract
// lists, as test harnesses do, linked with -z now: it loads, and a reader
// handle, which needs libusb_open beyond them, answers "not supported".
#include <libusb.h>
#include <stdio.h>

#include "vessik_read.h"

int libusb_init(libusb_context **ctx)
{
    (void)ctx;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void libusb_exit(libusb_context *ctx)
{
    (void)ctx;
}
ssize_t libusb_get_device_list(libusb_context *ctx, libusb_device ***list)
{
    (void)ctx;
    (void)list;
    return LIBUSB_ERROR_NOT_SUPPORTED;
}
void libusb_free_device_list(libusb_device **list, int unref)
{
    (void)list;
    (void)unref;
}
libusb_device_handle *libusb_open_device_with_vid_pid(libusb_context *ctx, uint16_t vendor,
                                                      uint16_t product)
{
    (void)ctx;
    (void)vendor;
    (void)product;
    return NULL;
}
void libusb_close(libusb_device_handle *h)
{
    (void)h;
}
int libusb_kernel_driver_active(libusb_device_handle *h, int i)
{
    (void)h;
    (void)i;
    return 0;
}
int libusb_detach_kernel_driver(libusb_device_handle *h, int i)
{
    (void)h;
    (void)i;
    return 0;
}
int libusb_set_configuration(libusb_device_handle *h, int c)
{
    (void)h;
    (void)c;
    return 0;
}
int libusb_get_configuration(libusb_device_handle *h, int *c)
{
    (void)h;
    (void)c;
    return 0;
}
int libusb_claim_interface(libusb_device_handle *h, int i)
{
    (void)h;
    (void)i;
    return 0;
}
int libusb_release_interface(libusb_device_handle *h, int i)
{
    (void)h;
    (void)i;
    return 0;
}
int libusb_bulk_transfer(libusb_device_handle *h, unsigned char ep, unsigned char *d, int l, int *n,
                         unsigned int t)
{
    (void)h;
    (void)ep;
    (void)d;
    (void)l;
    (void)n;
    (void)t;
    return LIBUSB_ERROR_NO_DEVICE;
}
int libusb_clear_halt(libusb_device_handle *h, unsigned char ep)
{
    (void)h;
    (void)ep;
    return 0;
}
int libusb_reset_device(libusb_device_handle *h)
{
    (void)h;
    return 0;
}
int libusb_get_device_descriptor(libusb_device *d, struct libusb_device_descriptor *desc)
{
    (void)d;
    (void)desc;
    return LIBUSB_ERROR_IO;
}
uint8_t libusb_get_bus_number(libusb_device *d)
{
    (void)d;
    return 0;
}
uint8_t libusb_get_device_address(libusb_device *d)
{
    (void)d;
    return 0;
}
int libusb_get_port_numbers(libusb_device *d, uint8_t *p, int l)
{
    (void)d;
    (void)p;
    (void)l;
    return 0;
}

int main(void)
{
    vessik_reader *reader = NULL;
    const int rc = vessik_reader_open("usb", &reader);
    if (rc != VESSIK_E_NOT_SUPPORTED) {
        fprintf(stderr, "vessik_reader_open without libusb_open: %d, not %d\n", rc,
                VESSIK_E_NOT_SUPPORTED);
        return 1;
    }
    return 0;
}
