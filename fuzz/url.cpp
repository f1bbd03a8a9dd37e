// Feeds arbitrary bytes to the URL functions: the parser with a base path, the path prefix,
// extension replacement and the document name.
#include "net/HttpUrl.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // A NUL byte separates the URL from the base path, when there is one.
    const std::size_t nul = input.find('\0');
    const std::string_view url = input.substr(0, nul);
    const std::string_view base =
        nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);
    const THttpUrlParts parts = ParseURL(url, base);
    // Nothing but the relative forms draws on the base, and those only add its directory.
    if (parts.Host.size() + parts.Port.size() + parts.User.size() + parts.Pass.size() > url.size())
        __builtin_trap();
    if (parts.Path.size() > url.size() + base.size() + 1) __builtin_trap();
    if (URLPathPrefix(url).size() > url.size()) __builtin_trap();
    if (LastPos(":", url) > url.size()) __builtin_trap();
    const std::string name = DocNameOfPath(parts.Path);
    if (name.size() > 255 && name != "document.htm") __builtin_trap();
    (void)HtmlDocName(name, "text/html");
    (void)ReplaceExt(name, "htm");
    return 0;
}
