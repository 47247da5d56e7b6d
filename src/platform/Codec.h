#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

// Text encodings the program reads and writes, through the C library's iconv.
namespace Codec {

// Code page 936 (GBK) to Unicode. A byte sequence that is not GBK is kept as U+FFFD per byte
// only when nothing else is possible; valid GBK never loses a character.
QString fromGbk(const QByteArray &bytes);
// Unicode to code page 936. Characters GBK cannot hold become "?" and *lossless is set false.
QByteArray toGbk(const QString &text, bool *lossless = nullptr);

// Decodes the lines of a list file one at a time: a line that is valid UTF-8 is UTF-8, any
// other line is GBK, so a stray byte spoils only its own line.
class ListLineDecoder
{
public:
    ListLineDecoder();
    ~ListLineDecoder();
    ListLineDecoder(const ListLineDecoder &) = delete;
    ListLineDecoder &operator=(const ListLineDecoder &) = delete;

    // The line's bytes, without its line end.
    QString decode(const char *begin, const char *end);

    // A UTF-8 byte-order mark, which a list file may start with.
    static bool startsWithByteOrderMark(const char *begin, const char *end);

private:
    class Gbk;
    std::unique_ptr<Gbk> m_gbk; // made at the first line that needs it
};

// The text in the named character set (an iconv or WHATWG name such as "UTF-8", "GBK",
// "gb2312", "windows-1252", "Shift_JIS"). A character the set cannot hold is written as a
// numeric character reference "&#N;". An unknown or empty set name writes UTF-8.
QByteArray encodeForHtml(const QString &text, const QString &charset);

} // namespace Codec
