#include "urllist/Harvest.h"

#include "engine/DownloadSettings.h"
#include "urllist/ListFile.h"

using namespace Qt::Literals::StringLiterals;

bool harvestAccepted(const QString &name, const QString &address)
{
    const QStringView trimmedName = trimBlanks(QStringView(name));
    const QStringView trimmedAddress = trimBlanks(QStringView(address));
    return !trimmedName.isEmpty() && trimmedName != u"登陆"_s && !trimmedAddress.isEmpty()
        && startsWithHttp(trimmedAddress.left(4).toString());
}

std::vector<UrlRow> harvestRows(const QList<BrowserLink> &links)
{
    std::vector<UrlRow> rows;
    for (const BrowserLink &link : links) {
        if (harvestAccepted(link.outerText, link.href))
            rows.push_back(UrlRow{trimBlanks(link.outerText), trimBlanks(link.href), {}, {}, {}});
    }
    return rows;
}
