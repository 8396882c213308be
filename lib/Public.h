// Time, string and logging helpers exported with the library.
#ifndef VESSIK_PUBLIC_H
#define VESSIK_PUBLIC_H

#include <cstdint>
#include <string>
#include <vector>

// Milliseconds of the monotonic clock.
int64_t GetTickCount();
// Clears trailing spaces (never the first character); returns its argument.
char *chartrimright(char *text);
// Pieces of text between occurrences of separator, in order.
std::vector<std::string> split(std::string text, std::string separator);

// Failure hook of the transports and the self-check: discards its texts.
void LOG_Str(std::string heading, std::string detail);
// Prints "Y-M-D h:m:s.us[tag==value]" on standard output.
void LOG_Int(std::string tag, int value);

#endif
