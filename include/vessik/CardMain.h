// SPDX-License-Identifier: LGPL-2.1-or-later
// The reader object: card read, decoding into idInfo, reader maintenance.
#ifndef VESSIK_CARDMAIN_H
#define VESSIK_CARDMAIN_H

#include <cstring>

#include "NvSerial.h"
#include "NvUsb.h"
#include "vessik.h"
#include "vessik_export.h"

// Reader kind, passed as a plain int through the C interface.
enum Cardtype : int { CARDTYPE_SERIAL = 0, CARDTYPE_USB = 1 };

// The four command frames of the security module, sent whole.
// SAM_M_Status carries 12 FF, the module's management/identifier query,
// which the poll uses as its status query.
extern "C" {
VESSIK_EXPORT extern unsigned char SAM_M_Status[10];
VESSIK_EXPORT extern unsigned char SAM_Serach[10];
VESSIK_EXPORT extern unsigned char SAM_Select[10];
VESSIK_EXPORT extern unsigned char SAM_ReadCard[10];
}

// The reader object: one per process behind the documented C functions
// (g_IdCardMain). Its members are public and in this order for C++ clients.
class VESSIK_EXPORT CardMain {
  public:
    ReadInfoCallback read_info_cb; // status messages, kind 3; null: none
    NvUsb usb;                     // the USB link of the card read
    NvSerial serial;               // opened only by clients; heartbeat(0) writes to it
    // Stored by SetServiceInfo and SetComInfo for clients that read them back;
    // no operation of the library reads them.
    char service_address[32];
    int service_port;
    char com_path[256];
    int com_baud_rate;
    Cardtype card_type; // the kind asked for by the last read

    CardMain();
    ~CardMain(); // closes the serial port, then the USB link

    // Registers the status callback; a null function is ignored.
    void IDCARD_SetReadInfoCB(ReadInfoCallback fn);

    // 0 stored; -101 null text; -102 text longer than the field holds.
    int setServiceinfo(const char *text, int port)
    {
        if (text == nullptr)
            return VESSIK_RESULT_NULL_TEXT;
        if (strlen(text) >= sizeof(service_address))
            return VESSIK_RESULT_TEXT_TOO_LONG;
        memset(service_address, 0, sizeof(service_address));
        memcpy(service_address, text, strlen(text)); // fits with its terminator: checked above
        service_port = port;
        return 0;
    }

    // 0 stored; -101 null path; -102 path longer than the field holds.
    int setComInfo(const char *path, int speed)
    {
        if (path == nullptr)
            return VESSIK_RESULT_NULL_TEXT;
        if (strlen(path) >= sizeof(com_path))
            return VESSIK_RESULT_TEXT_TOO_LONG;
        memset(com_path, 0, sizeof(com_path));
        memcpy(com_path, path, strlen(path)); // fits with its terminator: checked above
        com_baud_rate = speed;
        return 0;
    }

    // Reads one card over USB into a zero-filled record: 1 read, 5 no
    // reader, 0 for any kind but USB. Blocks until a card is read.
    int IReadCardInfo(idInfo *info, Cardtype type);
    // Closes whatever link is open, says so to the callback, returns code.
    int ReadCardCompleted(int code);

    // Probes the reader's controller: 1 when it answers, 0 otherwise.
    int heartbeat(Cardtype type);
    // Probes the controller and restarts it when it does not answer.
    void self_check();
    // Waits up to 10 s for a controller frame and classifies it (0 to 5).
    int HasCard(unsigned char *reply, int &reply_len, unsigned char *unused, int &unused_len);
    // Hands out the single byte and the data of an event frame.
    bool ICCard(unsigned char *frame, unsigned char *single, int unused, unsigned char *data);
};

#endif
