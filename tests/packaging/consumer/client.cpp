// SPDX-License-Identifier: LGPL-2.1-or-later
// A C++17 client built from an installed libvessik alone: it uses the class
// headers (the reader object, the USB link, the helpers) besides the C
// interface.
//   client_cxx none          no reader: connect fails, the read answers 5
//   client_cxx card CARDNO   a reader holding the card CARDNO
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <Common.h>
#include <IdCardLib.h>
#include <NvSerial.h>
#include <NvUsb.h>
#include <Public.h>
#include <vessik.h>

namespace {

constexpr int kConnected = 0;

int check(const char *mode, const char *cardno)
{
    const bool want_card = std::strcmp(mode, "card") == 0;

    NvUsb usb;
    const int connected = usb.ConnectUsb();
    std::printf("client: reader %04x:%04x connect %d\n", vessik::kReaderVendorId,
                vessik::kReaderProductId, connected);
    usb.DisConnectUsb();
    if ((connected == kConnected) != want_card)
        return 1;

    idInfo info;
    std::memset(&info, 0, sizeof info);
    const int result = g_IdCardMain.IReadCardInfo(&info, CARDTYPE_USB);
    std::printf("client: usb result %d\n", result);
    if (!want_card)
        return result == VESSIK_RESULT_NO_READER ? 0 : 1;
    if (result != VESSIK_RESULT_CARD_READ)
        return 1;

    // The helpers of the library, on what the card gave.
    const std::vector<std::string> parts = split(std::string(info.birth) + "-" + info.cardno, "-");
    std::printf("client: cardno %s photo starts %s\n", info.cardno,
                CCommon::ByteToHex(info.photo[0]).c_str());
    return parts.size() == 2 && parts[1] == cardno ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const bool none = argc == 2 && std::strcmp(argv[1], "none") == 0;
    const bool card = argc == 3 && std::strcmp(argv[1], "card") == 0;
    if (!none && !card) {
        std::fputs("usage: client_cxx none | client_cxx card CARDNO\n", stderr);
        return 2;
    }
    return check(argv[1], card ? argv[2] : "");
}
