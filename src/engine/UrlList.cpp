#include "engine/UrlList.h"

#include "engine/RowTexts.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

QString UrlRow::*fieldOf(int column)
{
    switch (column) {
    case UrlList::LinkNameColumn: return &UrlRow::linkName;
    case UrlList::UrlColumn: return &UrlRow::url;
    case UrlList::StatusColumn: return &UrlRow::status;
    case UrlList::ProgressColumn: return &UrlRow::progress;
    default: return &UrlRow::remark;
    }
}

} // namespace

UrlList::UrlList(QObject *parent) : QAbstractTableModel(parent) {}

int UrlList::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : count(); }

int UrlList::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant UrlList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count() || index.column() >= ColumnCount)
        return {};
    if (role == Qt::ToolTipRole && index.column() == RemarkColumn) {
        const QString &reason = m_rows[static_cast<std::size_t>(index.row())].failureReason;
        return reason.isEmpty() ? QVariant() : QVariant(reason);
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    return m_rows[static_cast<std::size_t>(index.row())].*fieldOf(index.column());
}

QVariant UrlList::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    switch (section) {
    case LinkNameColumn: return u"链接名称"_s;
    case UrlColumn: return u"网址"_s;
    case StatusColumn: return u"下载状态"_s;
    case ProgressColumn: return u"下载进度"_s;
    case RemarkColumn: return u"备注"_s;
    default: return {};
    }
}

const UrlRow &UrlList::row(int position) const { return m_rows[static_cast<std::size_t>(position - 1)]; }

QString UrlList::linkName(int position) const { return hasRow(position) ? row(position).linkName : QString(); }
QString UrlList::url(int position) const { return hasRow(position) ? row(position).url : QString(); }
QString UrlList::status(int position) const { return hasRow(position) ? row(position).status : QString(); }
QString UrlList::progress(int position) const { return hasRow(position) ? row(position).progress : QString(); }
QString UrlList::remark(int position) const { return hasRow(position) ? row(position).remark : QString(); }

void UrlList::setStatus(int position, const QString &text) { setField(position, StatusColumn, text); }
void UrlList::setProgress(int position, const QString &text) { setField(position, ProgressColumn, text); }
void UrlList::setRemark(int position, const QString &text) { setField(position, RemarkColumn, text); }

void UrlList::setFailureReason(int position, const QString &reason)
{
    if (!hasRow(position))
        return;
    m_rows[static_cast<std::size_t>(position - 1)].failureReason = reason;
    const QModelIndex cell = createIndex(position - 1, RemarkColumn);
    emit dataChanged(cell, cell, {Qt::ToolTipRole});
}

QString UrlList::failureReason(int position) const { return hasRow(position) ? row(position).failureReason : QString(); }

void UrlList::setField(int position, Column column, const QString &text)
{
    if (!hasRow(position))
        return; // the row was deleted while a slot still referred to its position
    const auto index = static_cast<std::size_t>(position - 1);
    QString &field = m_rows[index].*fieldOf(column);
    if (field == text)
        return;
    field = text;
    if (column == StatusColumn && text == RowTexts::ready())
        noteReadyAt(static_cast<int>(index));
    const QModelIndex cell = createIndex(position - 1, column);
    emit dataChanged(cell, cell, {Qt::DisplayRole});
}

void UrlList::noteReadyAt(int index)
{
    m_readyHint = std::min(m_readyHint, static_cast<std::size_t>(index));
}

void UrlList::append(const QString &linkName, const QString &url)
{
    appendRows({UrlRow{linkName, url, {}, {}, {}}});
}

void UrlList::appendRows(const std::vector<UrlRow> &rows)
{
    if (rows.empty())
        return;
    const int first = count();
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    // Geometric growth: many small appends must not copy the whole list each time.
    if (m_rows.size() + rows.size() > m_rows.capacity())
        m_rows.reserve(std::max(m_rows.size() + rows.size(), 2 * m_rows.capacity()));
    for (const UrlRow &row : rows) {
        if (row.status == RowTexts::ready())
            noteReadyAt(static_cast<int>(m_rows.size()));
        m_rows.push_back(row);
    }
    endInsertRows();
}

void UrlList::removeAt(int position) { removePositions({position}); }

void UrlList::removePositions(std::vector<int> positions)
{
    positions.erase(std::remove_if(positions.begin(), positions.end(), [this](int p) { return !hasRow(p); }),
                    positions.end());
    if (positions.empty())
        return;
    std::sort(positions.begin(), positions.end());
    positions.erase(std::unique(positions.begin(), positions.end()), positions.end());

    // Count the contiguous blocks: a few are removed with one signal each, many at once.
    std::size_t blocks = 1;
    for (std::size_t i = 1; i < positions.size(); ++i) {
        if (positions[i] != positions[i - 1] + 1)
            ++blocks;
    }
    if (blocks > ManyBlocks) {
        beginResetModel();
        std::vector<UrlRow> kept;
        kept.reserve(m_rows.size() - positions.size());
        std::size_t next = 0;
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            if (next < positions.size() && static_cast<int>(i) == positions[next] - 1)
                ++next;
            else
                kept.push_back(std::move(m_rows[i]));
        }
        m_rows = std::move(kept);
        m_readyHint = 0;
        endResetModel();
        return;
    }

    // Remove contiguous blocks from the back, so earlier positions stay valid.
    std::size_t end = positions.size();
    while (end > 0) {
        std::size_t begin = end - 1;
        while (begin > 0 && positions[begin - 1] == positions[begin] - 1)
            --begin;
        const int firstRow = positions[begin] - 1;
        const int lastRow = positions[end - 1] - 1;
        beginRemoveRows({}, firstRow, lastRow);
        m_rows.erase(m_rows.begin() + firstRow, m_rows.begin() + lastRow + 1);
        endRemoveRows();
        end = begin;
    }
    // Rows only moved up: a hint past the removed rows may now skip ready rows.
    m_readyHint = std::min(m_readyHint, static_cast<std::size_t>(positions.front() - 1));
}

void UrlList::clear()
{
    if (m_rows.empty())
        return;
    beginResetModel();
    m_rows.clear();
    m_readyHint = 0;
    endResetModel();
}

void UrlList::reorder(const std::vector<int> &newOrder)
{
    if (newOrder.size() != m_rows.size())
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<int> newPositionOf(m_rows.size());
    std::vector<UrlRow> reordered;
    reordered.reserve(m_rows.size());
    for (std::size_t i = 0; i < newOrder.size(); ++i) {
        const auto old = static_cast<std::size_t>(newOrder[i]);
        reordered.push_back(std::move(m_rows[old]));
        newPositionOf[old] = static_cast<int>(i);
    }
    m_rows = std::move(reordered);
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex &index : before)
        after.append(createIndex(newPositionOf[static_cast<std::size_t>(index.row())], index.column()));
    changePersistentIndexList(before, after);
    m_readyHint = 0;
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void UrlList::置LV准备下载()
{
    if (m_rows.empty())
        return;
    const QString ready = RowTexts::ready();
    for (UrlRow &row : m_rows) {
        row.status = ready;
        row.progress.clear();
        row.remark.clear();
        row.failureReason.clear();
    }
    m_readyHint = 0;
    emit dataChanged(createIndex(0, StatusColumn), createIndex(count() - 1, RemarkColumn), {Qt::DisplayRole, Qt::ToolTipRole});
}

int UrlList::firstReady() const
{
    const QString ready = RowTexts::ready();
    while (m_readyHint < m_rows.size() && m_rows[m_readyHint].status != ready) {
        ++m_readyHint;
        ++m_scanSteps;
    }
    ++m_scanSteps;
    return m_readyHint < m_rows.size() ? static_cast<int>(m_readyHint) + 1 : 0;
}

QString UrlList::linkCountText() const { return RowTexts::linkCount(count()); }
