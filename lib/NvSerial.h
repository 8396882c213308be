// Serial link to the reader: raw mode, exact-count reads within a budget.
#ifndef VESSIK_NVSERIAL_H
#define VESSIK_NVSERIAL_H

class NvSerial {
  public:
    int port_fd;

    NvSerial();
    ~NvSerial();

    int Open_port(const char *path);
    int setport(int fd, int iBaudRate, int iDataSize, char cParity, int iStopBit);
    int ConnectSerial(const char *path, int speed);
    int ReadSerial(int fd, unsigned char *buf, int wanted, int budget_ms);
    int readserial(int fd, unsigned char *buf, int wanted, int *received, int attempts);
    int WriteSerial(int fd, void *bytes, int count);
    int Close_port(int fd);
    int WorkProcess2Serial(int fd, unsigned char *bytes, int count, char *answer, int answer_len);
    void DisConnectSerial();
    int mystrcat(char *dest, char *src);
};

#endif
