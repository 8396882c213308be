// SPDX-License-Identifier: LGPL-2.1-or-later
// The web page's files and the API's document, built into the binary (see
// embed_www.cmake).
#ifndef VESSIKD_WWW_ASSETS_H
#define VESSIKD_WWW_ASSETS_H

#include <cstddef>
#include <string>

namespace vessikd {

struct WwwAsset {
    const char *path; // the URL path: "/" for index.html, "/app.js", "/v1/openapi.json", ...
    const char *content_type;
    const unsigned char *data;
    size_t size;
};

// The asset served at `path`, or null.
const WwwAsset *find_www_asset(const std::string &path);

} // namespace vessikd

#endif
