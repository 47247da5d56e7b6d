#pragma once

#include <QByteArray>
#include <QString>

// Text encodings the program reads and writes, through the C library's iconv.
namespace Codec {

// Code page 936 (GBK) to Unicode. A byte sequence that is not GBK is kept as U+FFFD per byte
// only when nothing else is possible; valid GBK never loses a character.
QString fromGbk(const QByteArray &bytes);
// Unicode to code page 936. Characters GBK cannot hold become "?" and *lossless is set false.
QByteArray toGbk(const QString &text, bool *lossless = nullptr);

// True when the bytes begin with the UTF-8 byte-order mark or are entirely valid UTF-8.
bool looksLikeUtf8(const QByteArray &bytes);

// A list file's text: UTF-8 (byte-order mark dropped) when looksLikeUtf8, otherwise GBK.
QString decodeListFile(const QByteArray &bytes);

// The text in the named character set (an iconv or WHATWG name such as "UTF-8", "GBK",
// "gb2312", "windows-1252", "Shift_JIS"). A character the set cannot hold is written as a
// numeric character reference "&#N;". An unknown or empty set name writes UTF-8.
QByteArray encodeForHtml(const QString &text, const QString &charset);

} // namespace Codec
