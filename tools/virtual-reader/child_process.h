// SPDX-License-Identifier: LGPL-2.1-or-later
// Children of the launcher: the program under test and a watchdog for the
// testbed folder.
//
// The launcher has threads (umockdev's) and may run under umockdev's preload,
// which wraps close(), read() and write() with locks of its own. Between fork
// and exec the children therefore make raw system calls only.
#ifndef VESSIK_TOOLS_VIRTUAL_READER_CHILD_PROCESS_H
#define VESSIK_TOOLS_VIRTUAL_READER_CHILD_PROCESS_H

#include <string>
#include <sys/types.h>

// `name` as execvp would find it on PATH; false with `err` an errno value.
bool find_program(const char *name, std::string &path, int &err);

// Starts the program with every signal unblocked and at its default, and
// with SIGKILL as its parent-death signal: it cannot outlive its reader.
// Returns its pid, or -1 with `err` the errno of the failed start.
pid_t start_program(const std::string &path, char *const argv[], char *const envp[], int &err);

// Starts a process that removes `dir` as soon as the launcher is gone,
// however it went (even SIGKILL). False if it could not be started.
bool start_folder_watchdog(const std::string &dir);

#endif
