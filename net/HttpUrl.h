#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// URL handling of the HTTP client as plain functions over 8-bit text: the parser, the helpers
// it is built from, the document name derived from a path, and the new target a "Location"
// reply line gives. Positions returned to callers are 1-based, 0 meaning "none".

// What ParseURL finds; every field is empty unless the URL names it.
struct THttpUrlParts {
    std::string Proto;
    std::string User;
    std::string Pass;
    std::string Host;
    std::string Port;
    std::string Path;
};

// Splits URL. Base is the path of the previous request; only the relative forms "./" and
// "../" use it. The scheme is lower-cased.
THttpUrlParts ParseURL(std::string_view URL, std::string_view Base = {});

// 1-based position of the last occurrence of S in Text; 0 when there is none.
std::size_t LastPos(std::string_view S, std::string_view Text) noexcept;

// Text up to and including the last "/" or ":" before the query ("?"); empty when none.
std::string URLPathPrefix(std::string_view Text);

// Name up to and including its last "." + Extension; Name + "." + Extension without a ".".
std::string ReplaceExt(std::string_view Name, std::string_view Extension);

// The file name a document fetched from Path is given: its last segment without the query,
// at most 255 bytes, or "document.htm" for a directory.
std::string DocNameOfPath(std::string_view Path);

// A name whose extension is ".exe" or missing becomes ".htm" when the reply says HTML.
std::string HtmlDocName(const std::string& DocName, std::string_view ContentType);

// The URL without its fragment: what follows "#" is for the reader, never for the server.
std::string_view WithoutFragment(std::string_view URL) noexcept;

// The connection targets of the client that a Location reply line changes. Proxy is only read;
// with a proxy, Path holds the whole URL and HostName the proxy. Secure: the target's scheme is
// https (last, so that targets written out in order stay as they were).
struct THttpTarget {
    std::string Proxy;
    std::string HostName;
    std::string PortText;
    std::string TargetHost;
    std::string Path;
    std::string Location;
    std::string Username;
    std::string Password;
    bool Secure = false;
};

enum class THttpRelocation {
    Accepted,
    // Empty, or holding a control character or a space: it would be copied into the next
    // request line and could split it.
    BadTarget,
    // A scheme other than http and https ("ftp:") cannot be reached by this client.
    OtherScheme
};

// The URL names the https scheme.
inline bool IsHttps(const THttpUrlParts& Parts) noexcept {
    return Parts.Proto == "https";
}

// The port the URL names, or else the one its scheme means.
inline std::string UrlPort(const THttpUrlParts& Parts) {
    if (!Parts.Port.empty()) return Parts.Port;
    return IsHttps(Parts) ? "443" : "80";
}

// Applies the value of a Location reply line to Target. A refused value leaves Target as it was.
// Credentials go when the new URL leads to another host or from https to http, unless it
// brings its own.
THttpRelocation Relocate(THttpTarget& Target, std::string_view Value);
