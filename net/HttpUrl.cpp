#include "net/HttpUrl.h"

#include "ui/SysUtils.h"

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (LowerCaseChar(text[i]) != prefix[i]) return false;
    return true;
}

bool SchemeChar(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// X up to and including its last "/", or "/" when it has none.
std::string Dir(std::string_view x) {
    const std::size_t slash = x.rfind('/');
    return slash == std::string_view::npos ? std::string("/") : std::string(x.substr(0, slash + 1));
}

// One level up from a directory that ends with "/".
std::string Up(std::string base) {
    if (!base.empty() && base.back() == '/') base.pop_back();
    return Dir(base);
}

// Where the authority starts for a URL without a usable "://"; npos when the whole URL is the
// path (already stored).
std::size_t AuthorityStart(std::string_view url, THttpUrlParts& parts) {
    if (url.front() == '/') {
        parts.Proto = "http";
        if (url.size() > 1 && url[1] != '/') {
            parts.Path = std::string(url);
            return std::string_view::npos;
        }
        return 2;
    }
    if (StartsWithNoCase(url, "http:")) {
        parts.Proto = "http";
        if (url.size() > 6 && url[6] != '/') {
            parts.Path = std::string(url.substr(5));
            return std::string_view::npos;
        }
        return 7;
    }
    if (StartsWithNoCase(url, "mailto:")) {
        parts.Proto = "mailto";
        return url.find(':') + 1;
    }
    return 0;
}

void SplitAuthority(std::string_view a, THttpUrlParts& parts) {
    const std::size_t k = LastPos(":", a);
    const std::size_t m = LastPos("@", a);
    std::string_view userInfo;
    if (k == 0 && m == 0) {
        parts.Host = std::string(a);
        return;
    }
    if (k > m) {
        parts.Port = std::string(a.substr(k));
        parts.Host = std::string(a.substr(m, k - 1 - m));
        if (m > 0) userInfo = a.substr(0, m - 1);
    } else {
        parts.Host = std::string(a.substr(m));
        userInfo = a.substr(0, m - 1);
    }
    const std::size_t colon = userInfo.find(':');
    if (colon == std::string_view::npos) {
        parts.User = std::string(userInfo);
    } else {
        parts.User = std::string(userInfo.substr(0, colon));
        parts.Pass = std::string(userInfo.substr(colon + 1));
    }
}

bool SameHost(std::string_view a, std::string_view b) {
    return LowerCase(a) == LowerCase(b);
}

} // namespace

std::size_t LastPos(std::string_view S, std::string_view Text) noexcept {
    if (S.empty()) return 0;
    const std::size_t at = Text.rfind(S);
    return at == std::string_view::npos ? 0 : at + 1;
}

std::string URLPathPrefix(std::string_view Text) {
    const std::string_view head = Text.substr(0, Text.find('?'));
    const std::size_t last = head.find_last_of("/:");
    return last == std::string_view::npos ? std::string() : std::string(head.substr(0, last + 1));
}

std::string ReplaceExt(std::string_view Name, std::string_view Extension) {
    const std::size_t dot = Name.rfind('.');
    if (dot == std::string_view::npos) return std::string(Name) + "." + std::string(Extension);
    return std::string(Name.substr(0, dot + 1)) + std::string(Extension);
}

THttpUrlParts ParseURL(std::string_view URL, std::string_view Base) {
    THttpUrlParts parts;
    if (URL.empty()) return parts;
    if (URL.starts_with("./")) {
        parts.Path = Dir(Base) + std::string(URL.substr(2));
        return parts;
    }
    if (URL.starts_with("../")) {
        std::string base = Up(Dir(Base));
        std::string_view rest = URL.substr(3);
        while (rest.starts_with("../")) {
            rest.remove_prefix(3);
            base = Up(std::move(base));
        }
        parts.Path = base + std::string(rest);
        return parts;
    }

    std::size_t start = 0;
    const std::size_t sep = URL.find("://");
    bool schemed = false;
    if (sep != std::string_view::npos) {
        schemed = true;
        for (std::size_t i = 0; i < sep; ++i)
            schemed = schemed && SchemeChar(URL[i]);
        if (schemed) {
            parts.Proto = LowerCase(URL.substr(0, sep));
            start = sep + 3;
        } else {
            parts.Proto = "http";
        }
    }
    if (!schemed) {
        start = AuthorityStart(URL, parts);
        if (start == std::string_view::npos) return parts;
    }

    const std::string_view r = start < URL.size() ? URL.substr(start) : std::string_view();
    const std::size_t slash = r.find('/');
    const std::size_t query = r.find('?');
    const std::size_t pathAt = query < slash ? query : slash;
    std::string_view authority = r;
    if (pathAt != std::string_view::npos) {
        parts.Path = std::string(r.substr(pathAt));
        authority = r.substr(0, pathAt);
    }
    SplitAuthority(authority, parts);
    return parts;
}

std::string DocNameOfPath(std::string_view Path) {
    const std::string_view name = Path.substr(0, Path.find('?'));
    if (name.empty() || name.back() == '/') return "document.htm";
    const std::size_t slash = name.rfind('/');
    std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
    last = last.substr(0, 255);
    return std::string(last.substr(0, last.find('?')));
}

std::string HtmlDocName(const std::string& DocName, std::string_view ContentType) {
    if (ContentType != "text/html") return DocName;
    const std::size_t dot = DocName.rfind('.');
    if (dot != std::string::npos && LowerCase(DocName.substr(dot)) != ".exe") return DocName;
    return ReplaceExt(DocName, "htm");
}

std::string_view WithoutFragment(std::string_view URL) noexcept {
    return URL.substr(0, URL.find('#'));
}

namespace {

// A scheme prefix ("name:") in the RFC 3986 sense, lower-cased; empty when there is none.
std::string SchemeOf(std::string_view value) {
    const std::size_t colon = value.find(':');
    if (colon == std::string_view::npos || colon == 0) return {};
    const char first = LowerCaseChar(value[0]);
    if (first < 'a' || first > 'z') return {};
    for (std::size_t i = 1; i < colon; ++i)
        if (!SchemeChar(value[i])) return {};
    return LowerCase(value.substr(0, colon));
}

// A new user and password replace the old ones only together; another host never sees the
// old ones, and a connection in clear never sees those that were sent encrypted.
void TakeCredentials(THttpTarget& t, const THttpUrlParts& parts) {
    if (!parts.User.empty() && !parts.Pass.empty()) {
        t.Username = parts.User;
        t.Password = parts.Pass;
    } else if ((!parts.Host.empty() && !SameHost(parts.Host, t.TargetHost)) ||
               (t.Secure && !IsHttps(parts))) {
        t.Username.clear();
        t.Password.clear();
    }
}

std::string SchemeOrHttp(const THttpUrlParts& parts) {
    return parts.Proto.empty() ? std::string("http") : parts.Proto;
}

std::string TargetScheme(const THttpTarget& t) {
    return t.Secure ? "https" : "http";
}

std::string PortSuffix(const std::string& port) {
    return port.empty() ? std::string() : ":" + port;
}

void RelocateDirect(THttpTarget& t, std::string_view v, bool absolute) {
    if (!absolute && v.front() == '/') {
        t.Path = std::string(v);
        t.Location = TargetScheme(t) + "://" + t.HostName + t.Path;
        return;
    }
    if (!absolute) {
        t.Path = URLPathPrefix(t.Path) + std::string(v);
        t.Location = TargetScheme(t) + "://" + t.HostName + "/" + t.Path;
        return;
    }
    const THttpUrlParts parts = ParseURL(v, t.Path);
    const std::string s = SchemeOrHttp(parts);
    TakeCredentials(t, parts);
    t.Secure = IsHttps(parts);
    t.HostName = parts.Host;
    t.Path = parts.Path;
    t.PortText = UrlPort(parts);
    if (!t.HostName.empty()) {
        t.TargetHost = t.HostName;
        if (t.Path.empty()) {
            t.Path = "/";
            t.Location = s + "://" + t.HostName;
        } else {
            t.Location = s + "://" + t.HostName + t.Path;
        }
    } else if (t.Path.empty()) {
        t.Location = s + "://" + t.TargetHost + "/";
        t.HostName = t.TargetHost;
        t.Path = t.Location;
    } else {
        t.Location = s + "://" + t.TargetHost + t.Path;
        t.HostName = t.TargetHost;
    }
}

void RelocateProxied(THttpTarget& t, std::string_view v, bool absolute) {
    if (!absolute && v.front() == '/') {
        const THttpUrlParts current = ParseURL(t.Path);
        t.Location = SchemeOrHttp(current) + "://" + current.Host + PortSuffix(current.Port) +
                     std::string(v);
        t.Path = t.Location;
        TakeCredentials(t, current);
        return;
    }
    if (!absolute) {
        t.Path = URLPathPrefix(t.Path) + std::string(v);
        t.Location = TargetScheme(t) + "://" + t.HostName + "/" + t.Path;
        return;
    }
    const THttpUrlParts parts = ParseURL(v);
    const std::string s = SchemeOrHttp(parts);
    t.PortText = UrlPort(parts);
    TakeCredentials(t, parts);
    t.Secure = IsHttps(parts);
    if (!parts.Host.empty()) {
        t.TargetHost = parts.Host;
        t.Location = s + "://" + parts.Host + PortSuffix(parts.Port) + parts.Path;
        t.Path = t.Location;
    } else {
        t.Location = s + "://" + t.TargetHost + t.Path;
    }
}

} // namespace

THttpRelocation Relocate(THttpTarget& Target, std::string_view Value) {
    // Spaces and tabs at the end are padding of the reply line, not part of the value.
    while (!Value.empty() && (Value.back() == ' ' || Value.back() == '\t'))
        Value.remove_suffix(1);
    for (char c : Value)
        if (static_cast<unsigned char>(c) <= ' ' || c == '\x7f') return THttpRelocation::BadTarget;
    std::string v(WithoutFragment(Value));
    if (v.empty()) return THttpRelocation::BadTarget;
    // A reference that starts with "//" names a host and keeps the scheme of the request.
    if (v.starts_with("//")) v = TargetScheme(Target) + ":" + v;
    const std::string scheme = SchemeOf(v);
    if (!scheme.empty() && scheme != "http" && scheme != "https")
        return THttpRelocation::OtherScheme;
    const bool absolute = !scheme.empty();
    if (Target.Proxy.empty())
        RelocateDirect(Target, v, absolute);
    else
        RelocateProxied(Target, v, absolute);
    return THttpRelocation::Accepted;
}
