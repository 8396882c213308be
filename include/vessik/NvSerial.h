// SPDX-License-Identifier: LGPL-2.1-or-later
// Serial link to the reader: raw mode, exact-count reads within a budget.
#ifndef VESSIK_NVSERIAL_H
#define VESSIK_NVSERIAL_H

#include "vessik_export.h"

class VESSIK_EXPORT NvSerial {
  public:
    int port_fd; // the open port, -1 when closed

    NvSerial();
    ~NvSerial(); // closes the port if open

    // Opens the device (stored in port_fd): the descriptor, or -1.
    int Open_port(const char *path);
    // Raw mode at a rate, data size, parity ('N', 'O', 'E') and stop bits: 0 or -1.
    int setport(int fd, int iBaudRate, int iDataSize, char cParity, int iStopBit);
    // Open_port, then setport at the speed, 8N1: the descriptor, or -1.
    int ConnectSerial(const char *path, int speed);
    // Reads exactly `wanted` bytes within a budget: `wanted`, or -1.
    int ReadSerial(int fd, unsigned char *buf, int wanted, int budget_ms);
    // As ReadSerial without select, for a number of further attempts 1 ms apart.
    int readserial(int fd, unsigned char *buf, int wanted, int *received, int attempts);
    // write()'s result; 0 for nothing to write.
    int WriteSerial(int fd, void *bytes, int count);
    // close()'s result; port_fd goes back to -1.
    int Close_port(int fd);
    // Writes a frame and, given an answer buffer, reads that many bytes within 200 ms.
    int WorkProcess2Serial(int fd, unsigned char *bytes, int count, char *answer, int answer_len);
    // Closes the port if open, printing "disconnect serial".
    void DisConnectSerial();
    // Appends src to dest: 1, or 0 when either is null.
    int mystrcat(char *dest, char *src);
};

#endif
