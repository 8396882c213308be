// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessik-read --list prints.
#include "reader_output.h"

#include <cstdio>

#include "card_json.h"

namespace vread {
namespace {

bool on_serial(const vessik_reader_info &info)
{
    return info.transport == VESSIK_TRANSPORT_SERIAL;
}

std::string usb_id(const vessik_reader_info &info)
{
    char text[sizeof "ffff:ffff"];
    std::snprintf(text, sizeof text, "%04x:%04x", info.vendor_id, info.product_id);
    return text;
}

const char *transport_name(int transport)
{
    return transport == VESSIK_TRANSPORT_SERIAL ? "serial" : "usb";
}

bool module_known(const ListedReader &reader)
{
    return reader.open_result == VESSIK_OK && reader.info.module_id_len > 0;
}

// Why the module's identifier is missing.
std::string unknown_reason(const ListedReader &reader)
{
    if (reader.open_result != VESSIK_OK)
        return vessik_strerror(reader.open_result);
    return "the module did not say";
}

} // namespace

std::string reader_line(const ListedReader &reader)
{
    const std::string module = module_known(reader)
                                   ? std::string("module ") + reader.info.module_id_hex
                                   : "module unknown (" + unknown_reason(reader) + ")";
    // A module on a serial line has no USB id: the column names the transport.
    const std::string id = on_serial(reader.info) ? "serial" : usb_id(reader.info);
    return std::string(reader.info.location) + "  " + id + "  " + module + "\n";
}

std::string reader_list_json(const std::vector<ListedReader> &readers)
{
    vessik_tools::Json list = vessik_tools::Json::array();
    for (const ListedReader &reader : readers) {
        vessik_tools::Json entry;
        entry["location"] = reader.info.location;
        entry["transport"] = transport_name(reader.info.transport);
        entry["usb_id"] = on_serial(reader.info) ? vessik_tools::Json(nullptr)
                                                 : vessik_tools::Json(usb_id(reader.info));
        const bool known = module_known(reader);
        entry["module_id"] = known ? vessik_tools::Json(reader.info.module_id_hex) : nullptr;
        entry["error"] =
            known ? vessik_tools::Json(nullptr) : vessik_tools::Json(unknown_reason(reader));
        list.push_back(entry);
    }
    return vessik_tools::json_text(list) + "\n";
}

} // namespace vread
