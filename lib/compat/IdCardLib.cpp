// SPDX-License-Identifier: LGPL-2.1-or-later
// The exported C functions and the library's two global objects.
#include "IdCardLib.h"

// Constructed in this order when the library loads, destroyed in reverse at
// exit: nvusb lets go of its reader first, then the reader object.
CardMain g_IdCardMain;
NvUsb nvusb;

extern "C" {

int ReadIDCardLib(idInfo *info, int reader_kind)
{
    return g_IdCardMain.IReadCardInfo(info, static_cast<Cardtype>(reader_kind));
}

int SetServiceInfo(const char *address, int port)
{
    return g_IdCardMain.setServiceinfo(address, port);
}

int SetComInfo(const char *path, int speed)
{
    return g_IdCardMain.setComInfo(path, speed);
}

int SaveImage(const unsigned char *photo, const char *path)
{
    return saveWlt2BmpUseFork(photo, path);
}

void CARD_SetReadInfoCB(ReadInfoCallback fn)
{
    g_IdCardMain.IDCARD_SetReadInfoCB(fn);
}

int USB_ConnectUsb(void)
{
    return nvusb.ConnectUsb();
}

void USB_DisConnectUsb(void)
{
    nvusb.DisConnectUsb();
}

} // extern "C"
