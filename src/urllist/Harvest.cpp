#include "urllist/Harvest.h"

#include "engine/DownloadSettings.h"
#include "urllist/ListFile.h"

using namespace Qt::Literals::StringLiterals;

namespace {

// A link text can span lines; as a list-file name it must stay on one line, so tabs and line
// breaks become blanks (and are trimmed like blanks).
QString oneLine(const QString &text)
{
    QString line = text;
    for (QChar &c : line) {
        switch (c.unicode()) {
        case u'\t': case u'\n': case u'\v': case u'\f': case u'\r': case 0x85: case 0x2028: case 0x2029:
            c = u' ';
            break;
        default:
            break;
        }
    }
    return trimBlanks(line);
}

bool accepted(const QString &name, const QString &address)
{
    return !name.isEmpty() && name != u"登陆"_s && !address.isEmpty() && startsWithHttp(address);
}

} // namespace

bool harvestAccepted(const QString &name, const QString &address)
{
    return accepted(oneLine(name), trimBlanks(address));
}

std::vector<UrlRow> harvestRows(const QList<BrowserLink> &links)
{
    std::vector<UrlRow> rows;
    for (const BrowserLink &link : links) {
        QString name = oneLine(link.outerText);
        QString address = trimBlanks(link.href);
        if (accepted(name, address))
            rows.emplace_back(name, address);
    }
    return rows;
}
