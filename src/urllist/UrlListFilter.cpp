#include "urllist/UrlListFilter.h"

UrlListFilter::UrlListFilter(UrlList &list, QObject *parent) : QSortFilterProxyModel(parent), m_list(list)
{
    setSourceModel(&list);
}

void UrlListFilter::setText(const QString &text)
{
    m_text = text.trimmed();
    invalidateFilter();
}

void UrlListFilter::setStateChoice(StateChoice choice)
{
    m_choice = choice;
    invalidateFilter();
}

bool UrlListFilter::fits(StateChoice choice, RowState state)
{
    switch (choice) {
    case StateChoice::All: return true;
    case StateChoice::Waiting: return state == RowState::Idle || state == RowState::Ready || state == RowState::RetryWaiting;
    case StateChoice::Downloading: return state == RowState::Downloading;
    case StateChoice::Done: return state == RowState::Saved;
    case StateChoice::Failed: return state == RowState::Failed || state == RowState::PageFailed;
    case StateChoice::Skipped: return state == RowState::Skipped;
    }
    return false;
}

int UrlListFilter::position(const QModelIndex &viewIndex) const
{
    const QModelIndex source = mapToSource(viewIndex);
    return source.isValid() ? source.row() + 1 : 0;
}

std::vector<int> UrlListFilter::positions(const QModelIndexList &viewIndexes) const
{
    std::vector<int> found;
    found.reserve(std::size_t(viewIndexes.size()));
    for (const QModelIndex &index : viewIndexes) {
        if (const int at = position(index))
            found.push_back(at);
    }
    return found;
}

bool UrlListFilter::filterAcceptsRow(int sourceRow, const QModelIndex &) const
{
    const int at = sourceRow + 1;
    if (!fits(m_choice, m_list.state(at)))
        return false;
    return m_text.isEmpty() || m_list.linkName(at).contains(m_text, Qt::CaseInsensitive)
        || m_list.url(at).contains(m_text, Qt::CaseInsensitive);
}

bool UrlListFilter::lessThan(const QModelIndex &left, const QModelIndex &right) const
{
    if (left.column() != UrlList::ProgressColumn)
        return QSortFilterProxyModel::lessThan(left, right);
    // A row with no progress known sorts before one at 0.
    const QVariant a = left.data(UrlList::ProgressFractionRole), b = right.data(UrlList::ProgressFractionRole);
    return (a.isValid() ? a.toDouble() : -1.0) < (b.isValid() ? b.toDouble() : -1.0);
}
