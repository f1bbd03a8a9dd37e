#pragma once

#include <QString>
#include <QStringList>

#include <string>
#include <string_view>

class TLineList;

// What a header value reads as: RFC 2047 encoded words ("=?charset?B|Q?text?=") decoded in
// their charset, the rest of the value as 8-bit text. Adjacent encoded words join without the
// blanks between them; a malformed word, or one in a charset nobody knows, stays as it stands.
// Control characters become blanks, so a value stays one line wherever it is shown.
QString HeaderText(std::string_view raw);

// Lines of decoded text in the charset their part named: decoded as one run, so a character
// cut between two lines is not lost. Without a charset, with one that is unknown or plain
// ASCII, or with bytes that are not valid in it, each line is read as 8-bit text.
QStringList BodyText(const TLineList& body, const std::string& charset);
