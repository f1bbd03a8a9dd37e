#include "tools/DemoMessages.h"

namespace {

// Joins lines with CR LF, the line end of mail on the wire.
std::string Crlf(std::initializer_list<const char*> lines) {
    std::string out;
    for (const char* line : lines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

std::string LongLineMessage() {
    std::string line;
    for (int i = 1; line.size() < 600; ++i)
        line += "This paragraph was written on one single line by a mail program that never wraps; ";
    return Crlf({"Return-Path: <newsletter@example.org>",
                 "Message-ID: <demo-4@postlark.example>",
                 "Date: Mon, 7 Dec 2026 08:00:00 +0000",
                 "From: Garden Club Newsletter <newsletter@example.org>",
                 "To: Demo User <demo@postlark.example>",
                 "Subject: December newsletter (one long line)",
                 "MIME-Version: 1.0",
                 "Content-Type: text/plain; charset=us-ascii",
                 ""}) +
           line + "\r\n" + Crlf({"", "-- ", "The Garden Club"});
}

} // namespace

std::vector<std::string> DemoMessages() {
    return {
        Crlf({"Return-Path: <alice@example.org>",
              "Message-ID: <demo-1@postlark.example>",
              "Date: Fri, 4 Dec 2026 09:15:00 +0100",
              "From: Alice Walker <alice@example.org>",
              "To: Demo User <demo@postlark.example>",
              "Subject: Lunch on Friday?",
              "",
              "Hi,",
              "",
              "are you free for lunch on Friday? The new place near the station",
              "opens at noon.",
              "..and bring the umbrella, rain is forecast.",
              "",
              "Alice"}),
        Crlf({"Return-Path: <bruno@example.net>",
              "Message-ID: <demo-2@postlark.example>",
              "Date: Sat, 5 Dec 2026 18:42:10 +0100",
              "From: Bruno Keller <bruno@example.net>",
              "To: Demo User <demo@postlark.example>",
              "Subject: Caf=?ISO-8859-1?Q?=E9?= tomorrow",
              "MIME-Version: 1.0",
              "Content-Type: text/plain; charset=ISO-8859-1",
              "Content-Transfer-Encoding: quoted-printable",
              "",
              "Shall we meet at the caf=E9 at ten? I will be the one with the =",
              "red scarf and a cr=E8me br=FBl=E9e.",
              "",
              "Bruno"}),
        Crlf({"Return-Path: <office@example.com>",
              "Message-ID: <demo-3@postlark.example>",
              "Date: Sun, 6 Dec 2026 11:05:33 +0000",
              "From: Office Team <office@example.com>",
              "To: Demo User <demo@postlark.example>",
              "Subject: Minutes and the budget sheet",
              "MIME-Version: 1.0",
              "Content-Type: multipart/mixed; boundary=\"=_demo_boundary_42\"",
              "",
              "This is a multi-part message in MIME format.",
              "",
              "--=_demo_boundary_42",
              "Content-Type: text/plain; charset=us-ascii",
              "Content-Transfer-Encoding: 7bit",
              "",
              "Hello,",
              "",
              "attached are the minutes of Thursday's meeting and the budget sheet.",
              "",
              "Regards, the office",
              "",
              "--=_demo_boundary_42",
              "Content-Type: text/plain; name=\"minutes.txt\"",
              "Content-Transfer-Encoding: base64",
              "Content-Disposition: attachment; filename=\"minutes.txt\"",
              "",
              "MS4gQnVkZ2V0IGFwcHJvdmVkLgoyLiBOZXh0IG1lZXRpbmcgb24gTW9uZGF5Lgo=",
              "",
              "--=_demo_boundary_42",
              "Content-Type: application/octet-stream; name=\"budget.csv\"",
              "Content-Transfer-Encoding: base64",
              "Content-Disposition: attachment; filename=\"budget.csv\"",
              "",
              "aXRlbSxhbW91bnQKcGFwZXIsMTIuNTAKY29mZmVlLDQwLjAwCg==",
              "",
              "--=_demo_boundary_42--"}),
        LongLineMessage(),
    };
}
