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

// A list file's text, judged line by line (CR and LF end lines and are kept as they are): a
// line that is valid UTF-8 is UTF-8, any other line is GBK, so a stray byte spoils only its own
// line. A UTF-8 byte-order mark at the start is dropped.
QString decodeListFile(const QByteArray &bytes);

// The text in the named character set (an iconv or WHATWG name such as "UTF-8", "GBK",
// "gb2312", "windows-1252", "Shift_JIS"). A character the set cannot hold is written as a
// numeric character reference "&#N;". An unknown or empty set name writes UTF-8.
QByteArray encodeForHtml(const QString &text, const QString &charset);

} // namespace Codec
