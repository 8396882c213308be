// The one place the library writes to standard output and standard error.
#include "diag.h"

#include <cstdarg>
#include <cstdio>

void vessik::diag::PutLine(const char *line)
{
    puts(line);
}

void vessik::diag::PutError(const char *text)
{
    perror(text);
}

void vessik::diag::PutFormat(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void vessik::diag::PutErrorText(const char *text)
{
    fputs(text, stderr);
}

void vessik::diag::PutChar(char c)
{
    putchar(c);
}
