// The page's files, embedded in the binary at build time (generated assets.cpp).
#pragma once

#include <string_view>

namespace varnel::serve {

struct Asset {
    std::string_view path;  // "/app.js"
    std::string_view contentType;
    std::string_view body;
};

// The hashes of the page's inline scripts as a Content-Security-Policy source list
// ("'sha256-...'"), so that no other inline script runs.
extern const std::string_view kInlineScripts;

// The file served at `path` ("/" is the page itself), or nullptr.
const Asset* FindAsset(std::string_view path);

}  // namespace varnel::serve
