// SPDX-License-Identifier: LGPL-2.1-or-later
// The public header and the class headers compile together as C++17, and
// the record's layout holds there too.
#include <cstddef>
#include <cstdio>

#include "CardMain.h"
#include "Common.h"
#include "IdCardLib.h"
#include "NvSerial.h"
#include "NvUsb.h"
#include "Public.h"
#include "vessik.h"

static_assert(sizeof(idInfo) == 5512, "idInfo keeps its size");
static_assert(offsetof(idInfo, photo_len) == 2372, "photo_len keeps its offset");
static_assert(offsetof(idInfo, ic_len) == 5500, "ic_len keeps its offset");

int main()
{
    // The globals are reachable by their plain names and start closed.
    const bool closed = g_IdCardMain.usb.dev_handle == nullptr &&
                        g_IdCardMain.usb.usb_context == nullptr &&
                        g_IdCardMain.serial.port_fd == -1 && nvusb.dev_handle == nullptr &&
                        g_IdCardMain.read_info_cb == nullptr;
    if (!closed) {
        std::puts("FAIL: globals do not start closed");
        return 1;
    }
    std::puts("C++ header check ok");
    return 0;
}
