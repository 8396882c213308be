// SPDX-License-Identifier: LGPL-2.1-or-later
// What vessik-read --list prints for each reader: a line for people, or one
// JSON array for scripts.
#ifndef VESSIK_TOOLS_READ_READER_OUTPUT_H
#define VESSIK_TOOLS_READ_READER_OUTPUT_H

#include <string>
#include <vector>

#include "vessik_read.h"

namespace vread {

// One listed reader, and how opening it to ask its module went.
struct ListedReader {
    vessik_reader_info info; // from vessik_reader_get_info when it opened
    int open_result;         // VESSIK_OK or the code vessik_reader_open gave
};

// "usb:1-2  0400:c35a  module 5653..." for a reader that opened, or
// "usb:1-2  0400:c35a  module unknown (another program holds the reader)".
std::string reader_line(const ListedReader &reader);

// [{"location":"usb:1-2","transport":"usb","usb_id":"0400:c35a",
//   "module_id":"5653..." or null,"error":null or the reason it is unknown}]
// on one line.
std::string reader_list_json(const std::vector<ListedReader> &readers);

} // namespace vread

#endif
