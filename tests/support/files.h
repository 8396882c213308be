// SPDX-License-Identifier: LGPL-2.1-or-later
// A file's whole content, as the tests read what a program wrote.
#ifndef VESSIK_TESTS_SUPPORT_FILES_H
#define VESSIK_TESTS_SUPPORT_FILES_H

#include <fstream>
#include <sstream>
#include <string>

namespace testsupport {

// Every byte of the file; "" when there is none or it cannot be read.
inline std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace testsupport

#endif
