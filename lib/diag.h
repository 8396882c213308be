// SPDX-License-Identifier: LGPL-2.1-or-later
// Every text the library says, in one place: the status messages for the
// client's callback and the diagnostics the documented functions write to
// standard output and standard error. Clients parse these: each stays byte
// for byte as it is, odd spacing, trailing blanks and line ends included.
// Internal: tests and tools refer to these names instead of retyping a text.
#ifndef VESSIK_DIAG_H
#define VESSIK_DIAG_H

namespace vessik {
namespace diag {

// ---- Status messages for the client's callback, always of this kind ----
constexpr int kStatusKind = 3;
constexpr char kMsgConnectErr[] = "usb connect err";
constexpr char kMsgConnectOk[] = "usb connect ok";
constexpr char kMsgReadOk[] = "read card  successful";
constexpr char kMsgDisconnectUsb[] = "disconnect usb";
constexpr char kMsgDisconnectSerial[] = "disconnect serial";

// ---- The USB link (lines on stdout through puts, perror texts on stderr) ----
constexpr char kPerrorInit[] = "Init Error\n";
constexpr char kPerrorDeviceList[] = "Get Device Error\n";
constexpr char kPerrorOpenDevice[] = "Cannot open device,Please check device...\n";
constexpr char kPerrorClaim[] = "Cannot Claim Interface\n";
constexpr char kLineKernelDriverActive[] = "USB Kernel Driver Active ";
constexpr char kLineKernelDriverDetached[] = "Kernel Driver Detached ";
constexpr char kLineClaimedInterface[] = "Claimed Interface";
constexpr char kFormatClaimResult[] = "r= %d\r\n"; // printf, with libusb's code
constexpr char kLineNoHandle[] = "dev_handle == NULL\r";
constexpr char kLineDisconnectUsb[] = "disconnect usb ";
constexpr char kErrorDescriptor[] = "failed to get device descriptor"; // stderr, no newline
constexpr char kFormatDevice[] = "%04x:%04x (bus %d, device %d)";      // print_devs, per device
constexpr char kFormatPortFirst[] = " path: %d";
constexpr char kFormatPortNext[] = ".%d";

// ---- Maintenance over the reader's controller ----
constexpr char kLineWriteFailedReset[] = "Failed to write data.Enabling read/write reset";
constexpr char kLineDataDetected[] = "Data detected successfully";

// ---- The serial link ----
constexpr char kPerrorGetTerminal[] = "Cannot get old terminal description";
constexpr char kFormatNoBaudRate[] = "donot exist iBaudRate %d!\n";
constexpr char kFormatNoDataSize[] = "donot exist iDataSize %d\n";
constexpr char kFormatNoParity[] = "donot exist cParity %c !\n";
constexpr char kFormatNoStopBit[] = "donot exist iStopBit %d\n";
constexpr char kPerrorSetTerminal[] = "Set new terminal description error!\n";
constexpr char kPerrorOpenPort[] = "Open_port error!";
constexpr char kPerrorSetPort[] = "set_port error !\n";
constexpr char kLineMcuTimeout[] = "timeout from MCU\r";
constexpr char kLineWriteCount[] = "write byte number error !";
constexpr char kLineDisconnectSerial[] = "disconnect serial\r";

// ---- LOG_Int's line on stdout: date, time, microseconds, tag and value ----
constexpr char kFormatLogInt[] = "%d-%d-%d %d:%d:%d.%ld[%s==%d]\n";

// ---- Texts handed to the LOG_Str hook (which discards them) ----
constexpr char kLogUsb[] = "[USB]";
constexpr char kLogSetConfiguration[] = "usb_set_configuration ERR";
constexpr char kLogWriteUsb[] = "[WriteUsb]";
constexpr char kLogWriteErr[] = "USB Write ERR";
constexpr char kLogWriteFailed[] = "Failed to write data";
constexpr char kLogReset[] = "Enabling read/write reset";
constexpr char kLogNoData[] = "Failed to detect data";
constexpr char kLogRestartFailed[] = "Hardware restart failed";
constexpr char kLogOpenPort[] = "cannot open serial port";
constexpr char kLogOpenPortDetail[] = ".....";
constexpr char kLogFcntl[] = "fcntl failed!\n";
constexpr char kLogFcntlDetail[] = "......";

// Where the texts above go. Each writes exactly what the named C call would,
// unless the calling thread is inside the extended interface (see
// ExtendedScope): then the text goes to the log handler, and nothing reaches
// standard output or standard error.
void PutLine(const char *line);                                                // puts
void PutError(const char *text);                                               // perror
void PutFormat(const char *format, ...) __attribute__((format(printf, 1, 2))); // printf
void PutErrorText(const char *text);                                           // fputs to stderr
void PutChar(char c);                                                          // putchar

// Log levels of the extended interface's handler (vessik_read.h names them
// VESSIK_LOG_*).
constexpr int kLogError = 1;
constexpr int kLogWarning = 2;
constexpr int kLogInfo = 3;
constexpr int kLogDebug = 4;
constexpr int kLogTrace = 5;

using LogHandler = void (*)(int level, const char *message, void *context);

// Installs the handler for messages up to `level` (0 or a null handler: none).
void SetLogHandler(int level, LogHandler handler, void *context);
// True when a handler wants messages of this level.
bool LogWanted(int level);
// Hands a message to the handler if it wants its level.
void Log(int level, const char *message);
// printf-style; formats only when the handler wants the level.
void LogFormat(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// While one lives on a thread, the texts the documented functions would print
// go to the log handler instead (the extended interface never writes to
// standard output or standard error). Scopes nest.
class ExtendedScope {
  public:
    ExtendedScope();
    ~ExtendedScope();
    ExtendedScope(const ExtendedScope &) = delete;
    ExtendedScope &operator=(const ExtendedScope &) = delete;

  private:
    bool outer_;
};

} // namespace diag
} // namespace vessik

#endif
