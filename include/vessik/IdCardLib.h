// SPDX-License-Identifier: LGPL-2.1-or-later
// The library's global objects behind the exported C functions.
#ifndef VESSIK_IDCARDLIB_H
#define VESSIK_IDCARDLIB_H

#include "CardMain.h"
#include "NvUsb.h"
#include "vessik.h"

VESSIK_EXPORT extern CardMain g_IdCardMain; // behind ReadIDCardLib and the setters
VESSIK_EXPORT extern NvUsb nvusb;           // behind USB_ConnectUsb / USB_DisConnectUsb only

#endif
