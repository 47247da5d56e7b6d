#include "platform/Codec.h"

#include <QList>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iconv.h>

namespace {

const char Utf8Bom[] = "\xEF\xBB\xBF";
const char ReplacementUtf8[] = "\xEF\xBF\xBD"; // U+FFFD

// One iconv conversion descriptor, owned by one call: nothing is shared between threads.
class Converter
{
public:
    enum class Stop { Done, Invalid, Incomplete };

    Converter(const char *to, const char *from)
        : m_cd(iconv_open(to, from))
    {
    }
    ~Converter()
    {
        if (valid())
            iconv_close(m_cd);
    }
    Converter(const Converter &) = delete;
    Converter &operator=(const Converter &) = delete;

    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }

    // Converts from in onwards, appending to out, and advances in and left past what was
    // converted. Stops at the end, at a sequence it cannot convert, or at a cut-off sequence.
    Stop convert(const char *&in, size_t &left, QByteArray &out)
    {
        char buffer[4096];
        while (left > 0) {
            char *input = const_cast<char *>(in); // iconv does not write to its input
            char *output = buffer;
            size_t room = sizeof buffer;
            const size_t leftBefore = left;
            const size_t result = iconv(m_cd, &input, &left, &output, &room);
            const int error = errno;
            in = input;
            out.append(buffer, output - buffer);
            if (result != size_t(-1))
                continue;
            if (error == E2BIG && (output != buffer || left != leftBefore))
                continue;
            if (error == EINVAL)
                return Stop::Incomplete;
            return Stop::Invalid; // EILSEQ, or no progress at all
        }
        return Stop::Done;
    }

    // Ends the output in the initial shift state (stateful sets such as ISO-2022-JP).
    void finish(QByteArray &out)
    {
        char buffer[64];
        char *output = buffer;
        size_t room = sizeof buffer;
        if (iconv(m_cd, nullptr, nullptr, &output, &room) != size_t(-1))
            out.append(buffer, output - buffer);
    }

    // Forgets any shift state after a sequence was skipped.
    void reset() { iconv(m_cd, nullptr, nullptr, nullptr, nullptr); }

private:
    iconv_t m_cd;
};

// iconv converts from the C library's wide characters (UCS-4 in host order) in one step, so a
// character the target set lacks costs no re-conversion of the text before it.
static_assert(sizeof(wchar_t) == sizeof(uint), "wide characters are UCS-4");

// The text in the named set. Each character the set lacks is replaced by substitute(codePoint),
// a plain text that goes through the same converter. False when iconv does not know the set.
template <typename Substitute>
bool encodeWide(const char *name, const QString &text, QByteArray &out, Substitute substitute)
{
    Converter converter(name, "WCHAR_T");
    if (!converter.valid())
        return false;
    const QList<uint> wide = text.toUcs4(); // unpaired surrogates arrive as U+FFFD
    const char *in = reinterpret_cast<const char *>(wide.constData());
    size_t left = size_t(wide.size()) * sizeof(uint);
    out.reserve(out.size() + qsizetype(wide.size()) + 16);
    while (left > 0) {
        if (converter.convert(in, left, out) == Converter::Stop::Done)
            break;
        uint codePoint = 0;
        const size_t length = std::min(left, sizeof(uint));
        std::memcpy(&codePoint, in, length);
        in += length;
        left -= length;
        // Through the converter, so a stateful set shifts back before the replacement.
        const QList<uint> replacement = substitute(char32_t(codePoint)).toUcs4();
        const char *replacementIn = reinterpret_cast<const char *>(replacement.constData());
        size_t replacementLeft = size_t(replacement.size()) * sizeof(uint);
        if (converter.convert(replacementIn, replacementLeft, out) != Converter::Stop::Done)
            converter.reset(); // a set that cannot write even the replacement: the character is dropped
    }
    converter.finish(out);
    return true;
}

// UTF-8 of the text with each unpaired surrogate as U+FFFD (toUtf8 alone would make it "?"),
// as the other sets get it.
QByteArray toUtf8Marked(const QString &text)
{
    QString copy;
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = text.at(i);
        bool lone = false;
        if (c.isHighSurrogate())
            lone = i + 1 >= n || !text.at(i + 1).isLowSurrogate();
        else if (c.isLowSurrogate())
            lone = i == 0 || !text.at(i - 1).isHighSurrogate();
        if (c.isHighSurrogate() && !lone) {
            ++i; // the pair is whole
            continue;
        }
        if (lone) {
            if (copy.isNull())
                copy = text;
            copy[i] = QChar::ReplacementCharacter;
        }
    }
    return copy.isNull() ? text.toUtf8() : copy.toUtf8();
}


bool isValidUtf8(const char *begin, const char *stop)
{
    const auto *p = reinterpret_cast<const unsigned char *>(begin);
    const auto *end = reinterpret_cast<const unsigned char *>(stop);
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            ++p;
            continue;
        }
        size_t length;
        char32_t minimum;
        char32_t cp;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            minimum = 0x80;
            cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            minimum = 0x800;
            cp = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            minimum = 0x10000;
            cp = lead & 0x07;
        } else {
            return false; // continuation byte, overlong lead C0/C1, or beyond U+10FFFF
        }
        if (size_t(end - p) < length)
            return false;
        for (size_t i = 1; i < length; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            cp = cp << 6 | (p[i] & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        p += length;
    }
    return true;
}

// Appends the code page 936 bytes [begin, end) as UTF-8, on a converter from GBK to UTF-8 that
// the caller keeps open across calls. A byte that starts no GBK character becomes one U+FFFD
// and the next byte is tried; a character cut off at the end gives one U+FFFD per byte.
void appendGbkAsUtf8(Converter &converter, const char *begin, const char *end, QByteArray &out)
{
    const char *in = begin;
    size_t left = size_t(end - begin);
    while (left > 0) {
        switch (converter.convert(in, left, out)) {
        case Converter::Stop::Done:
            break;
        case Converter::Stop::Invalid:
            out.append(ReplacementUtf8);
            ++in;
            --left;
            converter.reset();
            break;
        case Converter::Stop::Incomplete:
            for (; left > 0; --left)
                out.append(ReplacementUtf8);
            converter.reset();
            break;
        }
    }
}

struct Alias
{
    const char *label;
    const char *name;
};

constexpr Alias Aliases[] = {
    {"utf-8", "UTF-8"}, {"utf8", "UTF-8"}, {"unicode-1-1-utf-8", "UTF-8"}, {"unicode11utf8", "UTF-8"},
    {"unicode20utf8", "UTF-8"}, {"x-unicode20utf8", "UTF-8"},
    {"gbk", "GBK"}, {"gb2312", "GBK"}, {"x-gbk", "GBK"}, {"chinese", "GBK"}, {"csgb2312", "GBK"},
    {"csiso58gb231280", "GBK"}, {"gb_2312", "GBK"}, {"gb_2312-80", "GBK"}, {"iso-ir-58", "GBK"},
    {"cp936", "GBK"}, {"windows-936", "GBK"},
    {"gb18030", "GB18030"},
    {"big5", "BIG5-HKSCS"}, {"big5-hkscs", "BIG5-HKSCS"}, {"cn-big5", "BIG5-HKSCS"}, {"csbig5", "BIG5-HKSCS"},
    {"x-x-big5", "BIG5-HKSCS"},
    {"shift_jis", "CP932"}, {"sjis", "CP932"}, {"ms_kanji", "CP932"}, {"ms932", "CP932"},
    {"windows-31j", "CP932"}, {"x-sjis", "CP932"}, {"csshiftjis", "CP932"},
    {"euc-kr", "CP949"}, {"ks_c_5601-1987", "CP949"}, {"ks_c_5601-1989", "CP949"}, {"ksc5601", "CP949"},
    {"ksc_5601", "CP949"}, {"korean", "CP949"}, {"cseuckr", "CP949"}, {"csksc56011987", "CP949"},
    {"iso-ir-149", "CP949"}, {"windows-949", "CP949"},
    {"euc-jp", "EUC-JP"}, {"x-euc-jp", "EUC-JP"}, {"cseucpkdfmtjapanese", "EUC-JP"},
    {"iso-2022-jp", "ISO-2022-JP"}, {"csiso2022jp", "ISO-2022-JP"},
    {"windows-1252", "WINDOWS-1252"}, {"iso-8859-1", "WINDOWS-1252"}, {"latin1", "WINDOWS-1252"},
    {"l1", "WINDOWS-1252"}, {"us-ascii", "WINDOWS-1252"}, {"ascii", "WINDOWS-1252"}, {"cp1252", "WINDOWS-1252"},
    {"cp819", "WINDOWS-1252"}, {"ibm819", "WINDOWS-1252"}, {"iso8859-1", "WINDOWS-1252"},
    {"iso88591", "WINDOWS-1252"}, {"iso_8859-1", "WINDOWS-1252"}, {"iso_8859-1:1987", "WINDOWS-1252"},
    {"iso-ir-100", "WINDOWS-1252"}, {"csisolatin1", "WINDOWS-1252"}, {"x-cp1252", "WINDOWS-1252"},
    {"ansi_x3.4-1968", "WINDOWS-1252"},
    {"windows-1254", "WINDOWS-1254"}, {"iso-8859-9", "WINDOWS-1254"}, {"latin5", "WINDOWS-1254"},
    {"l5", "WINDOWS-1254"}, {"iso8859-9", "WINDOWS-1254"}, {"iso88599", "WINDOWS-1254"},
    {"iso_8859-9", "WINDOWS-1254"}, {"iso-ir-148", "WINDOWS-1254"}, {"csisolatin5", "WINDOWS-1254"},
    {"cp1254", "WINDOWS-1254"}, {"x-cp1254", "WINDOWS-1254"},
    {"windows-874", "WINDOWS-874"}, {"dos-874", "WINDOWS-874"}, {"tis-620", "WINDOWS-874"},
    {"iso-8859-11", "WINDOWS-874"}, {"iso8859-11", "WINDOWS-874"}, {"iso885911", "WINDOWS-874"},
    {"iso-8859-8-i", "ISO-8859-8"}, {"csiso88598i", "ISO-8859-8"}, {"logical", "ISO-8859-8"},
    {"x-mac-cyrillic", "MAC-CYRILLIC"}, {"x-mac-ukrainian", "MAC-CYRILLIC"},
    {"macintosh", "MACINTOSH"}, {"mac", "MACINTOSH"}, {"x-mac-roman", "MACINTOSH"}, {"csmacintosh", "MACINTOSH"},
    {"utf-16le", "UTF-16LE"}, {"utf-16", "UTF-16LE"}, {"ucs-2", "UTF-16LE"}, {"unicode", "UTF-16LE"},
    {"csunicode", "UTF-16LE"}, {"iso-10646-ucs-2", "UTF-16LE"}, {"unicodefeff", "UTF-16LE"},
    {"utf-16be", "UTF-16BE"}, {"unicodefffe", "UTF-16BE"},
    // No iconv counterpart: written as UTF-8.
    {"x-user-defined", "UTF-8"}, {"replacement", "UTF-8"},
};

// The iconv name for a character-set label as documents report it, empty when there is none.
// Labels browsers read as another set map to that set (gb2312 is read as GBK, Shift_JIS as
// Windows-31J, EUC-KR as Windows-949, ISO-8859-1 as windows-1252), so every character shown fits.
QByteArray iconvName(const QString &charset)
{
    const QString trimmed = charset.trimmed();
    if (trimmed.isEmpty() || trimmed.size() > 40)
        return {};
    for (const QChar c : trimmed) {
        const char16_t u = c.unicode();
        const bool plain = (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z') || (u >= u'0' && u <= u'9')
            || u == u'-' || u == u'_' || u == u'.' || u == u':';
        // Nothing else reaches iconv: no "//IGNORE" or "//TRANSLIT" suffixes.
        if (!plain)
            return {};
    }
    const QByteArray label = trimmed.toLatin1().toLower();
    for (const Alias &alias : Aliases) {
        if (label == alias.label)
            return alias.name;
    }
    return label;
}

} // namespace

namespace Codec {

QString fromGbk(const QByteArray &bytes)
{
    Converter converter("UTF-8", "GBK");
    if (!converter.valid())
        return QString::fromUtf8(bytes);
    QByteArray out;
    out.reserve(bytes.size() * 3 / 2 + 4);
    appendGbkAsUtf8(converter, bytes.constData(), bytes.constData() + bytes.size(), out);
    return QString::fromUtf8(out);
}

QByteArray toGbk(const QString &text, bool *lossless)
{
    bool complete = true;
    QByteArray out;
    if (!encodeWide("GBK", text, out, [&complete](char32_t) {
            complete = false;
            return QStringLiteral("?");
        })) {
        complete = false;
        out = toUtf8Marked(text);
    }
    if (lossless)
        *lossless = complete;
    return out;
}

class ListLineDecoder::Gbk
{
public:
    Converter converter{"UTF-8", "GBK"};
    QByteArray utf8;
};

ListLineDecoder::ListLineDecoder() = default;
ListLineDecoder::~ListLineDecoder() = default;

bool ListLineDecoder::startsWithByteOrderMark(const char *begin, const char *end)
{
    return end - begin >= 3 && QByteArray::fromRawData(begin, 3) == Utf8Bom;
}

QString ListLineDecoder::decode(const char *begin, const char *end)
{
    if (isValidUtf8(begin, end))
        return QString::fromUtf8(begin, end - begin);
    if (!m_gbk)
        m_gbk = std::make_unique<Gbk>();
    if (!m_gbk->converter.valid())
        return QString::fromUtf8(begin, end - begin);
    m_gbk->utf8.resize(0);
    appendGbkAsUtf8(m_gbk->converter, begin, end, m_gbk->utf8);
    return QString::fromUtf8(m_gbk->utf8);
}

QByteArray encodeForHtml(const QString &text, const QString &charset)
{
    const QByteArray name = iconvName(charset);
    if (name.isEmpty() || name == "UTF-8")
        return toUtf8Marked(text);
    QByteArray out;
    const auto reference = [](char32_t codePoint) {
        return QStringLiteral("&#") + QString::number(quint32(codePoint)) + u';';
    };
    if (!encodeWide(name.constData(), text, out, reference))
        return toUtf8Marked(text);
    return out;
}

} // namespace Codec
