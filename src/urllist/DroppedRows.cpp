#include "urllist/DroppedRows.h"

#include <QMimeData>
#include <QRegularExpression>
#include <QUrl>

using namespace Qt::Literals::StringLiterals;

namespace {

// Punctuation that a sentence puts after an address is not part of it.
const QString trailingPunctuation = u".,;:!?)]}>'\"。，；：！？）】》"_s;

QString withoutTrailingPunctuation(QString address)
{
    while (!address.isEmpty() && trailingPunctuation.contains(address.back()))
        address.chop(1);
    return address;
}

// Blanks, punctuation and symbols ("->", "：", "|") around a name go.
QString trimmedName(const QString &text)
{
    const auto isFill = [](QChar c) { return c.isSpace() || c.isPunct() || c.isSymbol(); };
    qsizetype begin = 0, end = text.size();
    while (begin < end && isFill(text.at(begin)))
        ++begin;
    while (end > begin && isFill(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin).simplified();
}

QString plainMarkupText(QString html)
{
    html.remove(QRegularExpression(u"<[^>]*>"_s));
    html.replace(u"&nbsp;"_s, u" "_s).replace(u"&lt;"_s, u"<"_s).replace(u"&gt;"_s, u">"_s);
    html.replace(u"&quot;"_s, u"\""_s).replace(u"&#39;"_s, u"'"_s).replace(u"&amp;"_s, u"&"_s);
    return html.simplified();
}

} // namespace

QString nameFromAddress(const QString &address)
{
    const QUrl url(address);
    const QString segment = url.path(QUrl::FullyDecoded).section(u'/', -1);
    // Without its extension: the link-name rule adds the address's own.
    const qsizetype dot = segment.lastIndexOf(u'.');
    return segment.isEmpty() ? url.host() : dot > 0 ? segment.left(dot) : segment;
}

std::vector<UrlRow> rowsFromText(const QString &text)
{
    static const QRegularExpression addressPattern(u"https?://[^\\s<>\"]+"_s,
                                                   QRegularExpression::CaseInsensitiveOption);
    std::vector<UrlRow> rows;
    for (const QString &line : text.split(QRegularExpression(u"[\\r\\n]+"_s), Qt::SkipEmptyParts)) {
        std::vector<QRegularExpressionMatch> found;
        for (const QRegularExpressionMatch &match : addressPattern.globalMatch(line))
            found.push_back(match);
        for (const QRegularExpressionMatch &match : found) {
            const QString address = withoutTrailingPunctuation(match.captured());
            QString name;
            if (found.size() == 1)
                name = trimmedName(QString(line).remove(match.capturedStart(), match.capturedLength()));
            rows.emplace_back(name.isEmpty() ? nameFromAddress(address) : name, address);
        }
    }
    return rows;
}

std::vector<UrlRow> rowsFromMarkup(const QString &html)
{
    static const QRegularExpression linkPattern(
        u"<a\\s[^>]*href\\s*=\\s*[\"']?([^\"'\\s>]+)[^>]*>(.*?)</a>"_s,
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::DotMatchesEverythingOption);
    std::vector<UrlRow> rows;
    for (const QRegularExpressionMatch &match : linkPattern.globalMatch(html)) {
        const QString address = plainMarkupText(match.captured(1));
        if (!address.startsWith(u"http://"_s, Qt::CaseInsensitive) && !address.startsWith(u"https://"_s, Qt::CaseInsensitive))
            continue;
        const QString name = trimmedName(plainMarkupText(match.captured(2)));
        rows.emplace_back(name.isEmpty() ? nameFromAddress(address) : name, address);
    }
    return rows;
}

DroppedItems droppedItems(const QMimeData &data)
{
    DroppedItems items;
    QStringList addresses;
    for (const QUrl &url : data.urls()) {
        if (url.isLocalFile())
            items.files.append(url.toLocalFile());
        else
            addresses.append(url.toString());
    }
    if (!items.files.isEmpty())
        return items;
    if (data.hasHtml())
        items.rows = rowsFromMarkup(data.html());
    if (items.rows.empty())
        items.rows = rowsFromText(addresses.join(u'\n'));
    if (items.rows.empty() && data.hasText())
        items.rows = rowsFromText(data.text());
    return items;
}
