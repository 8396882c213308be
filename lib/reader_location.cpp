// SPDX-License-Identifier: LGPL-2.1-or-later
// Parsing and printing reader locations.
#include "reader_location.h"

#include <cstdio>
#include <cstring>

#include "tty.h"
#include "vessik_read.h"

namespace {

constexpr char kUsbPrefix[] = "usb";
constexpr const char *kSerialPrefix = vessik::kSerialLocationPrefix;
constexpr int kMaxBus = 255;
constexpr int kMaxPort = 255;

bool StartsWith(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

// A decimal number in 1..max at *text, no sign, no leading zero; moves *text
// past it.
bool TakeNumber(const char **text, int max, int *out)
{
    const char *p = *text;
    if (*p < '1' || *p > '9')
        return false;
    int value = 0;
    while (*p >= '0' && *p <= '9') {
        value = value * 10 + (*p - '0');
        if (value > max)
            return false;
        ++p;
    }
    *out = value;
    *text = p;
    return true;
}

int ParseUsbPort(const char *text, vessik::Location *out)
{
    const char *p = text;
    if (!TakeNumber(&p, kMaxBus, &out->bus) || *p != '-')
        return VESSIK_E_BAD_LOCATION;
    ++p;
    out->port_count = 0;
    for (;;) {
        int port = 0;
        if (out->port_count == vessik::usb::kMaxPortDepth || !TakeNumber(&p, kMaxPort, &port))
            return VESSIK_E_BAD_LOCATION;
        out->ports[out->port_count++] = static_cast<uint8_t>(port);
        if (*p == '\0')
            break;
        if (*p != '.')
            return VESSIK_E_BAD_LOCATION;
        ++p;
    }
    out->kind = vessik::LocationKind::UsbPort;
    return VESSIK_OK;
}

int ParseSerial(const char *text, vessik::Location *out)
{
    const char *at = strrchr(text, '@');
    const size_t device_len = at != nullptr ? static_cast<size_t>(at - text) : strlen(text);
    if (device_len == 0 || device_len >= sizeof(out->serial_device) || text[0] != '/')
        return VESSIK_E_BAD_LOCATION;
    memcpy(out->serial_device, text, device_len);
    out->serial_device[device_len] = '\0';
    out->serial_rate = vessik::kDefaultSerialRate;
    if (at != nullptr) {
        const char *p = at + 1;
        int rate = 0;
        if (!TakeNumber(&p, vessik::tty::FastestModuleRate(), &rate) || *p != '\0' ||
            !vessik::SerialRateSupported(rate))
            return VESSIK_E_BAD_LOCATION;
        out->serial_rate = rate;
    }
    out->kind = vessik::LocationKind::Serial;
    return VESSIK_OK;
}

} // namespace

bool vessik::SerialRateSupported(int rate)
{
    unsigned char code = 0;
    return vessik::tty::ModuleRateCode(rate, &code);
}

bool vessik::FormatModuleRates(char *out, size_t room)
{
    int rates[tty::kRatesMax] = {};
    const int count = tty::ModuleRates(rates, tty::kRatesMax);
    size_t used = 0;
    out[0] = '\0';
    for (int i = 0; i < count; ++i) {
        const char *joint = i == 0 ? "" : (i == count - 1 ? " or " : ", ");
        const int n = snprintf(out + used, room - used, "%s%d", joint, rates[i]);
        if (n < 0 || static_cast<size_t>(n) >= room - used)
            return false;
        used += static_cast<size_t>(n);
    }
    return count > 0;
}

int vessik::ParseLocation(const char *where, Location *out)
{
    if (where == nullptr || out == nullptr || strlen(where) >= kLocationBytes)
        return VESSIK_E_BAD_LOCATION;
    *out = Location{};
    if (strcmp(where, kUsbPrefix) == 0) {
        out->kind = LocationKind::UsbFirst;
        return VESSIK_OK;
    }
    if (StartsWith(where, kUsbPrefix) && where[strlen(kUsbPrefix)] == ':')
        return ParseUsbPort(where + strlen(kUsbPrefix) + 1, out);
    if (StartsWith(where, kSerialPrefix))
        return ParseSerial(where + strlen(kSerialPrefix), out);
    return VESSIK_E_BAD_LOCATION;
}

bool vessik::FormatUsbLocation(int bus, const uint8_t *ports, int port_count, char *out,
                               size_t room)
{
    int used = snprintf(out, room, "%s:%d-", kUsbPrefix, bus);
    for (int i = 0; i < port_count && used >= 0 && static_cast<size_t>(used) < room; ++i)
        used +=
            snprintf(out + used, room - static_cast<size_t>(used), i == 0 ? "%d" : ".%d", ports[i]);
    return port_count > 0 && used >= 0 && static_cast<size_t>(used) < room;
}

bool vessik::FormatSerialLocation(const char *device, int rate, char *out, size_t room)
{
    const int used = rate == kDefaultSerialRate
                         ? snprintf(out, room, "%s%s", kSerialPrefix, device)
                         : snprintf(out, room, "%s%s@%d", kSerialPrefix, device, rate);
    return used >= 0 && static_cast<size_t>(used) < room;
}
