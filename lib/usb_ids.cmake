# SPDX-License-Identifier: LGPL-2.1-or-later
# The readers' USB ids from their one table, usb_ids.txt. Gives
#   VESSIK_USB_IDS   the pairs as "vvvv:pppp", lower-case four-digit hex (the
#                    text udev compares against sysfs), first the one the
#                    library opens; packaging/ makes the udev rule from it;
#   vessik_usb_ids.h in ${VESSIK_USB_IDS_DIR} (the build tree's include/),
#                    installed beside NvUsb.h, which includes it;
#   vessik_usb_ids   an interface target that puts that folder on the include
#                    path.
# Included from the top-level CMakeLists.txt, so that every folder sees them.
set(_usb_id_table "${CMAKE_CURRENT_LIST_DIR}/usb_ids.txt")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${_usb_id_table}")
file(STRINGS "${_usb_id_table}" _usb_id_lines)

set(_hex4 "[0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f][0-9A-Fa-f]")
set(VESSIK_USB_IDS "")
foreach(line IN LISTS _usb_id_lines)
  string(STRIP "${line}" line)
  if(line STREQUAL "" OR line MATCHES "^#")
    continue()
  endif()
  if(NOT line MATCHES "^${_hex4}:${_hex4}$")
    message(FATAL_ERROR "${_usb_id_table}: '${line}' is not VENDOR:PRODUCT in four hex digits each")
  endif()
  string(TOLOWER "${line}" id)
  if(id IN_LIST VESSIK_USB_IDS)
    message(FATAL_ERROR "${_usb_id_table}: ${id} is listed twice")
  endif()
  list(APPEND VESSIK_USB_IDS "${id}")
endforeach()
if(NOT VESSIK_USB_IDS)
  message(FATAL_ERROR "${_usb_id_table}: no reader id")
endif()

# The header: the first pair under the names the library has always used,
# then every pair.
list(GET VESSIK_USB_IDS 0 _usb_id_first)
string(REPLACE ":" ";" _usb_id_first "${_usb_id_first}")
list(GET _usb_id_first 0 VESSIK_USB_VENDOR)
list(GET _usb_id_first 1 VESSIK_USB_PRODUCT)
set(VESSIK_USB_ID_ENTRIES "")
foreach(id IN LISTS VESSIK_USB_IDS)
  string(REPLACE ":" ", 0x" entry "${id}")
  string(APPEND VESSIK_USB_ID_ENTRIES "    {0x${entry}},\n")
endforeach()
string(CONFIGURE [[
// The USB ids of the readers libvessik drives. Made by CMake from
// lib/usb_ids.txt, as the udev rule is: change the table, not this file.
#ifndef VESSIK_USB_IDS_H
#define VESSIK_USB_IDS_H

#include <cstdint>

namespace vessik {

// A reader as the bus names it.
struct ReaderUsbId {
    uint16_t vendor;
    uint16_t product;
};

// The reader the library opens.
constexpr uint16_t kReaderVendorId = 0x@VESSIK_USB_VENDOR@;
constexpr uint16_t kReaderProductId = 0x@VESSIK_USB_PRODUCT@;
// The configuration the reader runs in, and the interface a program claims.
constexpr int kReaderConfiguration = 1;
constexpr int kReaderInterface = 0;

// Every reader the udev rule grants access to and the tools look for, the
// one the library opens first.
constexpr ReaderUsbId kReaderUsbIds[] = {
@VESSIK_USB_ID_ENTRIES@};

} // namespace vessik

#endif
]] _usb_id_header @ONLY)

set(VESSIK_USB_IDS_DIR "${PROJECT_BINARY_DIR}/include")
set(VESSIK_USB_IDS_HEADER "${VESSIK_USB_IDS_DIR}/vessik_usb_ids.h")
# Written only when it changes, so that a new configure rebuilds nothing.
if(EXISTS "${VESSIK_USB_IDS_HEADER}")
  file(READ "${VESSIK_USB_IDS_HEADER}" _usb_id_old)
else()
  set(_usb_id_old "")
endif()
if(NOT _usb_id_old STREQUAL _usb_id_header)
  file(WRITE "${VESSIK_USB_IDS_HEADER}" "${_usb_id_header}")
endif()

add_library(vessik_usb_ids INTERFACE)
target_include_directories(vessik_usb_ids INTERFACE "${VESSIK_USB_IDS_DIR}")
