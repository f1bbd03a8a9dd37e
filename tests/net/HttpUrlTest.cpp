#include "net/HttpUrl.h"

#include <gtest/gtest.h>

namespace {

struct ParseCase {
    const char* url;
    const char* base;
    THttpUrlParts want;
};

TEST(HttpUrl, ParseTable) {
    const ParseCase cases[] = {
        {"http://host:81/a/b?q=1", "", {"http", "", "", "host", "81", "/a/b?q=1"}},
        {"host/x", "", {"", "", "", "host", "", "/x"}},
        {"mailto:someone@example.org", "", {"mailto", "someone", "", "example.org", "", ""}},
        {"/x/y", "", {"http", "", "", "", "", "/x/y"}},
        {"//host/p", "", {"http", "", "", "host", "", "/p"}},
        {"Http://host/p", "", {"http", "", "", "host", "", "/p"}},
        {"HTTP://HOST/p", "", {"http", "", "", "HOST", "", "/p"}},
        {"ftp_x://h/p", "", {"http", "", "", "ftp_x", "", "//h/p"}},
        {"./d.html", "/a/b/c.html", {"", "", "", "", "", "/a/b/d.html"}},
        {"../d.html", "/a/b/c.html", {"", "", "", "", "", "/a/d.html"}},
        {"../../x", "/a/b/c.html", {"", "", "", "", "", "/x"}},
        {"../../../../x", "/a/b/c.html", {"", "", "", "", "", "/x"}},
        {"./x", "nobase", {"", "", "", "", "", "/x"}},
        {"http://u:p@h:8080/d", "", {"http", "u", "p", "h", "8080", "/d"}},
        {"http://u@h/d", "", {"http", "u", "", "h", "", "/d"}},
        {"http://u:p:q@h/d", "", {"http", "u", "p:q", "h", "", "/d"}},
        {"http://h?x=/y", "", {"http", "", "", "h", "", "?x=/y"}},
        {"http://h", "", {"http", "", "", "h", "", ""}},
        {"https://h/x", "", {"https", "", "", "h", "", "/x"}},
        {"http:/x", "", {"http", "", "", "", "", "/x"}},
        {"http:", "", {"http", "", "", "", "", ""}},
        {"/", "", {"http", "", "", "", "", ""}},
        {"", "/a/", {}},
        {"h:", "", {"", "", "", "h", "", ""}},
    };
    for (const ParseCase& c : cases) {
        SCOPED_TRACE(c.url);
        const THttpUrlParts got = ParseURL(c.url, c.base);
        EXPECT_EQ(got.Proto, c.want.Proto);
        EXPECT_EQ(got.User, c.want.User);
        EXPECT_EQ(got.Pass, c.want.Pass);
        EXPECT_EQ(got.Host, c.want.Host);
        EXPECT_EQ(got.Port, c.want.Port);
        EXPECT_EQ(got.Path, c.want.Path);
    }
}

TEST(HttpUrl, Helpers) {
    EXPECT_EQ(LastPos(":", "a:b:c"), 4u);
    EXPECT_EQ(LastPos("@", "abc"), 0u);
    EXPECT_EQ(URLPathPrefix("/a/b.html"), "/a/");
    EXPECT_EQ(URLPathPrefix("/a/b?x=/c/d"), "/a/");
    EXPECT_EQ(URLPathPrefix("http://h/p"), "http://h/");
    EXPECT_EQ(URLPathPrefix("x"), "");
    EXPECT_EQ(ReplaceExt("a.b.exe", "htm"), "a.b.htm");
    EXPECT_EQ(ReplaceExt("page", "htm"), "page.htm");
    EXPECT_EQ(WithoutFragment("/a#b#c"), "/a");
}

TEST(HttpUrl, DocNames) {
    EXPECT_EQ(DocNameOfPath("/dir/"), "document.htm");
    EXPECT_EQ(DocNameOfPath(""), "document.htm");
    EXPECT_EQ(DocNameOfPath("/dir/?q=/x"), "document.htm");
    EXPECT_EQ(HtmlDocName(DocNameOfPath("/dir/page.exe?x=1"), "text/html"), "page.htm");
    EXPECT_EQ(HtmlDocName(DocNameOfPath("/dir/page"), "text/html"), "page.htm");
    EXPECT_EQ(HtmlDocName(DocNameOfPath("/dir/page"), "text/plain"), "page");
    EXPECT_EQ(HtmlDocName(DocNameOfPath("/pic.gif"), "text/html"), "pic.gif");
    EXPECT_EQ(DocNameOfPath("/" + std::string(300, 'n')).size(), 255u);
}

THttpTarget Direct(const char* path) {
    THttpTarget t;
    t.HostName = "www";
    t.TargetHost = "www";
    t.PortText = "80";
    t.Path = path;
    t.Username = "me";
    t.Password = "secret";
    return t;
}

THttpTarget Secure(THttpTarget t) {
    t.Secure = true;
    return t;
}

THttpTarget Proxied(const char* url) {
    THttpTarget t;
    t.Proxy = "proxy";
    t.HostName = "proxy";
    t.PortText = "3128";
    t.TargetHost = "www";
    t.Path = url;
    return t;
}

struct RelocationCase {
    THttpTarget before;
    const char* value;
    THttpRelocation result;
    // Expected HostName, PortText, TargetHost, Path, Location, Username.
    const char* host;
    const char* port;
    const char* target;
    const char* path;
    const char* location;
    const char* user;
};

TEST(HttpUrl, RelocationTable) {
    const THttpRelocation ok = THttpRelocation::Accepted;
    const RelocationCase cases[] = {
        {Direct("/a/b.html"), "/c.html", ok, "www", "80", "www", "/c.html", "http://www/c.html",
         "me"},
        {Direct("/a/b.html"), "c.html", ok, "www", "80", "www", "/a/c.html", "http://www//a/c.html",
         "me"},
        {Direct("/a/b.html"), "http://other:8080/x", ok, "other", "8080", "other", "/x",
         "http://other/x", ""},
        // Same host in another letter case keeps the credentials; a new pair replaces them.
        {Direct("/a"), "http://WWW/x", ok, "WWW", "80", "WWW", "/x", "http://WWW/x", "me"},
        {Direct("/a"), "http://u:p@other/x", ok, "other", "80", "other", "/x", "http://other/x",
         "u"},
        {Direct("/a"), "HTTP://other", ok, "other", "80", "other", "/", "http://other", ""},
        {Direct("/a"), "//other/y", ok, "other", "80", "other", "/y", "http://other/y", ""},
        {Direct("/a"), "http:/y", ok, "www", "80", "www", "/y", "http://www/y", "me"},
        {Direct("/a"), "/c#frag", ok, "www", "80", "www", "/c", "http://www/c", "me"},
        {Direct("/a"), "/c  ", ok, "www", "80", "www", "/c", "http://www/c", "me"},
        // To https on the same host the credentials go along; from https to http they stay
        // behind. Relative and host-only references keep the scheme of the request.
        {Direct("/a"), "https://www/x", ok, "www", "443", "www", "/x", "https://www/x", "me"},
        {Secure(Direct("/a")), "http://www/x", ok, "www", "80", "www", "/x", "http://www/x", ""},
        {Secure(Direct("/a")), "/c", ok, "www", "80", "www", "/c", "https://www/c", "me"},
        {Secure(Direct("/a")), "//other/y", ok, "other", "443", "other", "/y", "https://other/y",
         ""},
        {Direct("/a"), "hTTpS://www:8443/x", ok, "www", "8443", "www", "/x", "https://www/x",
         "me"},
        {Direct("/a"), "ftp://www/x", THttpRelocation::OtherScheme, "www", "80", "www", "/a", "",
         "me"},
        {Direct("/a"), "/x\r\nEvil: 1", THttpRelocation::BadTarget, "www", "80", "www", "/a", "",
         "me"},
        {Direct("/a"), "/a b", THttpRelocation::BadTarget, "www", "80", "www", "/a", "", "me"},
        {Direct("/a"), "", THttpRelocation::BadTarget, "www", "80", "www", "/a", "", "me"},
        {Proxied("http://www:81/a/b.html"), "/c.html", ok, "proxy", "3128", "www",
         "http://www:81/c.html", "http://www:81/c.html", ""},
        {Proxied("http://www/a/b.html"), "c.html", ok, "proxy", "3128", "www",
         "http://www/a/c.html", "http://proxy/http://www/a/c.html", ""},
        {Proxied("http://www/a"), "http://other:8080/x", ok, "proxy", "8080", "other",
         "http://other:8080/x", "http://other:8080/x", ""},
        {Proxied("http://www/a"), "https://other/x", ok, "proxy", "443", "other",
         "https://other/x", "https://other/x", ""},
    };
    for (const RelocationCase& c : cases) {
        SCOPED_TRACE(c.value);
        THttpTarget t = c.before;
        EXPECT_EQ(Relocate(t, c.value), c.result);
        EXPECT_EQ(t.HostName, c.host);
        EXPECT_EQ(t.PortText, c.port);
        EXPECT_EQ(t.TargetHost, c.target);
        EXPECT_EQ(t.Path, c.path);
        EXPECT_EQ(t.Location, c.location);
        EXPECT_EQ(t.Username, c.user);
    }
}

TEST(HttpUrl, EmbeddedNulIsRefused) {
    THttpTarget t = Direct("/a");
    EXPECT_EQ(Relocate(t, std::string_view("/x\0y", 4)), THttpRelocation::BadTarget);
    EXPECT_EQ(t.Path, "/a");
}

} // namespace
