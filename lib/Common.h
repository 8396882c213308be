// Conversion helpers: numbers and text, hexadecimal, GUID bytes, key packet.
#ifndef VESSIK_COMMON_H
#define VESSIK_COMMON_H

#include <string>

class CCommon {
  public:
    static void int2str(const int &value, std::string &out);
    static void str2int(int &out, const std::string &text);
    static std::string ByteToString(const unsigned char *bytes, int start, int count);
    static std::string ByteToHex(unsigned char byte);
    static std::string strReplaceString(std::string &text, const std::string &find,
                                        const std::string &replacement);
    static int subBytes(const unsigned char *src, int start, int count, unsigned char *dest);
    static long hex2int(const std::string &text);
    static int GuidToBytearry(std::string hex, int chars, unsigned char *out);
    static int getSecretkeyPacket(std::string key, unsigned char *packet);
};

#endif
