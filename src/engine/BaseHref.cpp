#include "engine/BaseHref.h"

#include <QByteArrayView>
#include <QStringView>

#include <optional>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qsizetype SourceLimit = 1000000;

constexpr char BaseTag[] = "<base href=";
constexpr char HeadTag[] = "<head>";
constexpr char BodyTag[] = "<body";
constexpr char HtmlTag[] = "<html>";

template <std::size_t N>
constexpr qsizetype tagLength(const char (&)[N])
{
    return qsizetype(N - 1);
}

constexpr char32_t asciiLower(char32_t c) { return (c >= U'A' && c <= U'Z') ? c + (U'a' - U'A') : c; }

char32_t unit(QChar c) { return c.unicode(); }
char32_t unit(char c) { return static_cast<unsigned char>(c); }

// The first occurrence of a lower-case ASCII tag, letters matched in either case and nothing
// else folded, so a search in bytes never looks inside a multi-byte character differently.
template <typename View, std::size_t N>
qsizetype findTag(View text, const char (&tag)[N])
{
    const qsizetype m = tagLength(tag);
    const qsizetype last = text.size() - m;
    for (qsizetype i = 0; i <= last; ++i) {
        qsizetype j = 0;
        while (j < m && asciiLower(unit(text[i + j])) == static_cast<unsigned char>(tag[j]))
            ++j;
        if (j == m)
            return i;
    }
    return -1;
}

// Where the inserted text goes: after "<head>", before "<body", after "<html>", in that order
// of preference; nothing when the text has none of them (the prefix then goes in front).
template <typename View>
std::optional<qsizetype> insertionPoint(View text)
{
    if (const qsizetype p = findTag(text, HeadTag); p >= 0)
        return p + tagLength(HeadTag);
    if (const qsizetype p = findTag(text, BodyTag); p >= 0)
        return p;
    if (const qsizetype p = findTag(text, HtmlTag); p >= 0)
        return p + tagLength(HtmlTag);
    return std::nullopt;
}

// The address is escaped for the quoted attribute, so that no address can end the element.
QString baseElement(const QString &address)
{
    return u"<Base href='"_s + address.toHtmlEscaped().replace(u'\'', u"&#39;"_s) + u"' target='_blank'>"_s;
}

bool blankOnly(const QString &text)
{
    for (const QChar c : text) {
        if (c != u' ')
            return false;
    }
    return true;
}

} // namespace

QString insertBaseElement(const QString &source, const QString &address)
{
    if (blankOnly(source))
        return address;
    if (source.size() > SourceLimit)
        return source;
    const QStringView text(source);
    if (findTag(text, BaseTag) >= 0)
        return source;
    const std::optional<qsizetype> at = insertionPoint(text);
    if (!at)
        return baseElement(address) + source;
    return source.left(*at) + u" "_s + baseElement(address) + u" "_s + source.mid(*at);
}

QByteArray insertBaseElementIntoBytes(const QByteArray &source, const QString &address, bool *inserted)
{
    const QByteArrayView bytes(source);
    if (findTag(bytes, BaseTag) >= 0) {
        if (inserted)
            *inserted = false;
        return source;
    }
    if (inserted)
        *inserted = true;
    const QByteArray element = baseElement(address).toUtf8();
    const std::optional<qsizetype> at = insertionPoint(bytes);
    if (!at)
        return element + source;
    QByteArray result;
    result.reserve(source.size() + element.size() + 2);
    result.append(bytes.first(*at)).append(' ').append(element).append(' ').append(bytes.sliced(*at));
    return result;
}
