#include "urllist/HarvestFilter.h"

#include "engine/SaveNames.h"

#include <QMap>
#include <QUrl>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

QString hostOf(const QString &address) { return QUrl(address).host(); }

// Addresses that differ only in the case of scheme and host, or in encoding, are the same address.
QString addressKey(const QString &address) { return QUrl(address).toString(QUrl::FullyEncoded); }

// "*" and "?" are the only special characters; "/" is matched like any other, unlike a file glob.
QString wildcardPattern(const QString &mask)
{
    QString pattern;
    for (const QChar c : mask) {
        if (c == u'*')
            pattern += u".*"_s;
        else if (c == u'?')
            pattern += u'.';
        else
            pattern += QRegularExpression::escape(QString(c));
    }
    return QRegularExpression::anchoredPattern(pattern);
}

} // namespace

QString withoutFragment(const QString &address)
{
    const qsizetype hash = address.indexOf(u'#');
    return hash < 0 ? address : address.left(hash);
}

QString harvestExtension(const QString &address)
{
    const QString extension = urlExtension(address);
    return extension == u" "_s ? QString() : extension.toLower();
}

HarvestFilter::HarvestFilter(const std::vector<UrlRow> &harvested, const QStringList &listed,
                             const QString &pageAddress)
    : m_harvestedCount(static_cast<int>(harvested.size())), m_pageHost(hostOf(pageAddress))
{
    QSet<QString> seen;
    seen.reserve(listed.size() + static_cast<qsizetype>(harvested.size()));
    for (const QString &address : listed)
        seen.insert(addressKey(withoutFragment(address)));
    QMap<QString, int> extensionCounts;
    for (const UrlRow &row : harvested) {
        const QString address = withoutFragment(row.url());
        const QString key = addressKey(address);
        if (seen.contains(key))
            continue;
        seen.insert(key);
        m_candidates.emplace_back(row.linkName(), address);
        ++extensionCounts[harvestExtension(address)];
    }
    for (auto it = extensionCounts.cbegin(); it != extensionCounts.cend(); ++it)
        m_extensions.append({it.key(), it.value()});
}

QString HarvestFilter::setMask(const QString &mask, bool regularExpression)
{
    if (mask.isEmpty()) {
        m_mask = QRegularExpression();
        m_maskValid = true;
        return {};
    }
    m_mask = regularExpression ? QRegularExpression(mask)
                               : QRegularExpression(wildcardPattern(mask), QRegularExpression::CaseInsensitiveOption);
    m_maskValid = m_mask.isValid();
    if (m_maskValid)
        return {};
    return u"正则表达式有误：%1（第 %2 个字符）"_s.arg(m_mask.errorString()).arg(m_mask.patternErrorOffset() + 1);
}

bool HarvestFilter::keeps(const UrlRow &row) const
{
    if (!m_maskValid)
        return false;
    const QString address = row.url();
    if (!m_excluded.isEmpty() && m_excluded.contains(harvestExtension(address)))
        return false;
    if (!m_mask.pattern().isEmpty() && !m_mask.match(address).hasMatch())
        return false;
    return !m_sameSiteOnly || (!m_pageHost.isEmpty() && hostOf(address) == m_pageHost);
}

std::vector<UrlRow> HarvestFilter::kept() const
{
    std::vector<UrlRow> rows;
    std::copy_if(m_candidates.begin(), m_candidates.end(), std::back_inserter(rows),
                 [this](const UrlRow &row) { return keeps(row); });
    return rows;
}

int HarvestFilter::keptCount() const
{
    return static_cast<int>(std::count_if(m_candidates.begin(), m_candidates.end(),
                                          [this](const UrlRow &row) { return keeps(row); }));
}
