// SPDX-License-Identifier: LGPL-2.1-or-later
// The device node a client polls, as a FIFO whose fill level we control.
//
// usbfs tells a poll()ing client that a URB can be reaped by making the
// device node writable (POLLOUT). umockdev's nodes are plain files, which
// always poll writable, so libusb would spin on REAPURBNDELAY while it waits.
// A FIFO kept full polls not writable; freeing one page of it wakes the
// client exactly when something can be reaped.
#ifndef VESSIK_TOOLS_VIRTUAL_READER_WAKE_FIFO_H
#define VESSIK_TOOLS_VIRTUAL_READER_WAKE_FIFO_H

#include <string>

class WakeFifo {
  public:
    WakeFifo() = default;
    ~WakeFifo();
    WakeFifo(const WakeFifo &) = delete;
    WakeFifo &operator=(const WakeFifo &) = delete;

    // Makes the FIFO at `path`, opens it and fills it. False with `error` set.
    bool create(const std::string &path, std::string &error);
    // Puts the FIFO in place of the (plain file) node at `node_path`.
    bool replace_node(const std::string &node_path, std::string &error) const;
    // Writable to clients (something to reap) or not.
    void set_ready(bool ready);
    // Closes the FIFO and removes its file (the nodes linked to it stay).
    void close_fifo();

  private:
    void fill();
    void drain_one_page();

    int fd_ = -1;
    bool ready_ = false;
    std::string path_;
};

#endif
