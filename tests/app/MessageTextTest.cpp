// Headers and text as the user reads them: encoded words decoded, text in its own charset.

#include "app/MessageText.h"
#include "app/UnitMessage.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>

#include <string>

namespace {

TEST(HeaderText, EncodedWordsAreDecodedAndMalformedOnesStayAsTheyStand) {
    const struct {
        const char* raw;
        const char* shown; // UTF-8
    } cases[] = {
        {"plain subject", "plain subject"},
        {"=?UTF-8?B?R3LDvMOfZQ==?=", "Grüße"},
        {"=?utf-8?q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=", "Grüße aus Köln"},
        {"=?ISO-8859-1?Q?Andr=E9?= <andre@example.org>", "André <andre@example.org>"},
        // Latin-1 labels read as Windows-1252: 0x80 is the euro sign.
        {"=?iso-8859-1?q?5_=80?=", "5 €"},
        {"=?ISO-8859-2?Q?=A3=F3d=BC?=", "Łódź"},
        {"=?windows-1251?B?z/Du4uXw6uA=?=", "Проверка"},
        {"=?KOI8-R?B?8NLJ18XU?=", "Привет"},
        {"=?Shift_JIS?B?k/qWe4zq?=", "日本語"},
        {"=?utf-8*en?q?Hello?=", "Hello"}, // RFC 2231 language suffix
        // Adjacent words join without the blanks between them, also across a charset change,
        // and a character cut between two words of one charset comes out whole.
        {"=?utf-8?q?a?= =?utf-8?q?b?=", "ab"},
        {"=?utf-8?q?a?=\t =?iso-8859-1?q?=E9?=", "aé"},
        {"=?utf-8?b?w6Q=?= =?utf-8?b?w7Y=?=", "äö"},
        {"=?utf-8?q?=C3?= =?utf-8?q?=A9t=C3=A9?=", "été"},
        {"Re: =?utf-8?q?caf=C3=A9?= again", "Re: café again"},
        {"=?utf-8?q?a?= x =?utf-8?q?b?=", "a x b"},
        // Malformed or unknown: left as they stand.
        {"=?utf-8?x?abc?=", "=?utf-8?x?abc?="},
        {"=?utf-8?q?a b?=", "=?utf-8?q?a b?="},
        {"=?utf-8?q?=ZZ?=", "=?utf-8?q?=ZZ?="},
        {"=?utf-8?b?@@@@?=", "=?utf-8?b?@@@@?="},
        {"=?no-such-charset?q?x?=", "=?no-such-charset?q?x?="},
        {"=??q?x?=", "=??q?x?="},
        {"=?utf-8?q?unterminated", "=?utf-8?q?unterminated"},
        {"broken =?utf-8?q?x?= =?", "broken x =?"},
        // A header of raw UTF-8 or Latin-1 bytes reads as before.
        {"Caf\xc3\xa9", "Café"},
        {"Caf\xe9", "Café"},
        // Line breaks hidden in a word do not split the line.
        {"=?utf-8?b?YQ0KYg==?=", "a  b"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HeaderText(c.raw), QString::fromUtf8(c.shown)) << c.raw;
}

TEST(HeaderText, HostileValuesTakeLinearTime) {
    std::string hostile;
    for (int i = 0; i < 40000; ++i)
        hostile += "=?=?a?b?";
    std::string words;
    for (int i = 0; i < 20000; ++i)
        words += "=?utf-8?q?x?= ";
    QElapsedTimer timer;
    timer.start();
    EXPECT_EQ(HeaderText(hostile).size(), static_cast<qsizetype>(hostile.size()));
    EXPECT_EQ(HeaderText(words), QString(20000, QLatin1Char('x')) + QLatin1Char(' '));
    EXPECT_LT(timer.elapsed(), 3000);
}

TEST(BodyText, TextIsReadInTheCharsetItsPartNames) {
    const struct {
        const char* charset;
        std::string line1, line2;
        const char* shown1;
        const char* shown2;
    } cases[] = {
        {"utf-8",
         "Gr\xc3\xbc\xc3\x9f"
         "e",
         "ok", "Grüße", "ok"},
        {"ISO-8859-15", "\xa4 5", "caf\xe9", "€ 5", "café"},
        {"windows-1252", "\x93quoted\x94", "\x80", "“quoted”", "€"},
        {"koi8-r", "\xf0\xd2\xc9\xd7\xc5\xd4", "", "Привет", ""},
        {"windows-1251", "\xcf\xf0\xe8\xe2\xe5\xf2", "x", "Привет", "x"},
        // Line 1 on its own is valid UTF-8; read per line it would be guessed differently.
        {"iso-8859-2", "\xc3\xa9", "\xb3\xf3\xbf", "ĂŠ", "łóż"},
        // A character cut between two lines at the line limit comes out whole.
        {"utf-8", "ab\xc3",
         "\xa9"
         "cd",
         "ab", "écd"},
        // Unknown, missing or ASCII: each line guessed, as without a charset.
        {"x-unknown", "caf\xc3\xa9", "caf\xe9", "café", "café"},
        {"", "caf\xc3\xa9", "caf\xe9", "café", "café"},
        {"us-ascii", "caf\xc3\xa9", "caf\xe9", "café", "café"},
        // Bytes not valid in the named charset: guessed too.
        {"utf-8", "caf\xe9", "fine", "café", "fine"},
    };
    for (const auto& c : cases) {
        TLineList body;
        body.Add(c.line1);
        body.Add(c.line2);
        EXPECT_EQ(BodyText(body, c.charset),
                  QStringList({QString::fromUtf8(c.shown1), QString::fromUtf8(c.shown2)}))
            << c.charset << " " << c.line1;
    }
}

} // namespace
