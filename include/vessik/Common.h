// SPDX-License-Identifier: LGPL-2.1-or-later
// Conversion helpers: numbers and text, hexadecimal, GUID bytes, key packet.
#ifndef VESSIK_COMMON_H
#define VESSIK_COMMON_H

#include <string>

#include "vessik_export.h"

class VESSIK_EXPORT CCommon {
  public:
    // Decimal text of a number.
    static void int2str(const int &value, std::string &out);
    // The number at the start of a text (formatted extraction).
    static void str2int(int &out, const std::string &text);
    // "AA BB " for count bytes from start: two upper-case digits and a space each.
    static std::string ByteToString(const unsigned char *bytes, int start, int count);
    // Two upper-case hexadecimal digits.
    static std::string ByteToHex(unsigned char byte);
    // Replaces every occurrence in text (in place) and returns the result.
    static std::string strReplaceString(std::string &text, const std::string &find,
                                        const std::string &replacement);
    // Copies count bytes from src + start: count.
    static int subBytes(const unsigned char *src, int start, int count, unsigned char *dest);
    // A hexadecimal text as a number (strtol, base 16).
    static long hex2int(const std::string &text);
    // Hexadecimal digits into bytes, the GUID's first 8 bytes reordered: the byte count.
    static int GuidToBytearry(std::string hex, int chars, unsigned char *out);
    // A key packet FF BB len key sum AA from a dashed hexadecimal key: its length.
    static int getSecretkeyPacket(std::string key, unsigned char *packet);
};

#endif
