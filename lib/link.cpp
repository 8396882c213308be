// SPDX-License-Identifier: LGPL-2.1-or-later
// Choosing a reader's link by its location.
#include "link.h"

#include <new>

#include "serial_reader.h"
#include "usb_reader.h"
#include "vessik_read.h"

namespace vessik {

int ReaderLink::SetRate(int /*rate*/, const AnswerWait & /*wait*/)
{
    return VESSIK_E_NOT_SUPPORTED;
}

std::unique_ptr<ReaderLink> MakeLink(const Location &where)
{
    if (where.kind == LocationKind::Serial)
        return std::unique_ptr<ReaderLink>(new (std::nothrow) SerialReaderLink(where));
    return std::unique_ptr<ReaderLink>(new (std::nothrow) UsbReaderLink(where));
}

} // namespace vessik
