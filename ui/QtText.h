#pragma once

#include <QString>

#include <string>

// 8-bit text from the network or a file shown in Qt: UTF-8 when the bytes are valid UTF-8,
// otherwise Windows-1252 (of which Latin-1 is the subset Qt decodes without a codec table).
QString ToQString(const std::string& bytes);
// Text from a Qt control back to 8-bit: UTF-8.
std::string FromQString(const QString& text);
