#pragma once

#include "engine/UrlList.h"

#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QStringList>

#include <vector>

// The address without its "#fragment": the fragment names a place in a page, not another file.
QString withoutFragment(const QString &address);
// The extension a harvested address is filtered by: urlExtension() lower-cased, "" when there is none.
QString harvestExtension(const QString &address);

// Which harvested rows go into the list. The harvest is taken in document order with the
// fragments of its addresses dropped and each address once: an address already in the list, or
// met earlier in the harvest (ignoring the case of scheme and host), is left out. Of those candidates, a row is kept when its extension
// is not excluded, its address matches the mask and, with sameSiteOnly, its host is the page's.
class HarvestFilter
{
public:
    // `listed` are the list's addresses, `pageAddress` the address of the harvested page.
    HarvestFilter(const std::vector<UrlRow> &harvested, const QStringList &listed, const QString &pageAddress);

    int harvestedCount() const { return m_harvestedCount; }
    const std::vector<UrlRow> &candidates() const { return m_candidates; }
    // The extensions of the candidates, sorted, each with its count; "" stands for none.
    const QList<QPair<QString, int>> &extensions() const { return m_extensions; }
    // False for a page without a host (a saved file): no link is of its site.
    bool pageHasSite() const { return !m_pageHost.isEmpty(); }
    const QString &pageHost() const { return m_pageHost; }

    void setExcludedExtensions(const QSet<QString> &extensions) { m_excluded = extensions; }
    // A wildcard mask ("*" any characters, "?" one) must match the whole address, ignoring case;
    // a regular expression must match somewhere in it. An empty mask keeps every address.
    // Returns the message for a regular expression that is not valid, and then keeps no row.
    QString setMask(const QString &mask, bool regularExpression);
    void setSameSiteOnly(bool on) { m_sameSiteOnly = on; }

    bool keeps(const UrlRow &row) const;
    std::vector<UrlRow> kept() const;
    int keptCount() const;

private:
    int m_harvestedCount = 0;
    std::vector<UrlRow> m_candidates;
    QList<QPair<QString, int>> m_extensions;
    QString m_pageHost;
    QSet<QString> m_excluded;
    QRegularExpression m_mask;
    bool m_maskValid = true;
    bool m_sameSiteOnly = false;
};
