#include "engine/UrlList.h"

#include "engine/RowTexts.h"

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

UrlRow::UrlRow(const QString &linkName, const QString &url)
{
    const QByteArray name = linkName.toUtf8();
    const QByteArray address = url.toUtf8();
    m_text.reserve(name.size() + address.size());
    m_text.append(name).append(address);
    m_nameBytes = quint32(name.size());
    m_urlBytes = quint32(address.size());
}

QString UrlRow::linkName() const { return QString::fromUtf8(m_text.constData(), m_nameBytes); }

QString UrlRow::url() const { return QString::fromUtf8(m_text.constData() + m_nameBytes, m_urlBytes); }

QString UrlRow::failureReason() const
{
    return QString::fromUtf8(m_text.constData() + m_nameBytes + m_urlBytes, m_reasonBytes);
}

void UrlRow::setFailureReason(const QString &reason)
{
    setEndTexts(reason.toUtf8(), m_text.mid(qsizetype(m_nameBytes) + m_urlBytes + m_reasonBytes));
}

QString UrlRow::savedPath() const
{
    const qsizetype at = qsizetype(m_nameBytes) + m_urlBytes + m_reasonBytes;
    return QString::fromUtf8(m_text.constData() + at, m_text.size() - at);
}

void UrlRow::setSavedPath(const QString &path)
{
    setEndTexts(m_text.mid(qsizetype(m_nameBytes) + m_urlBytes, m_reasonBytes), path.toUtf8());
}

void UrlRow::setEndTexts(const QByteArray &reason, const QByteArray &savedPath)
{
    const qsizetype texts = qsizetype(m_nameBytes) + m_urlBytes;
    if (reason.isEmpty() && savedPath.isEmpty() && m_text.size() == texts)
        return;
    m_text.truncate(texts);
    m_text.append(reason).append(savedPath);
    m_reasonBytes = quint32(reason.size());
    if (reason.isEmpty() && savedPath.isEmpty())
        m_text.squeeze();
}

UrlList::UrlList(QObject *parent) : QAbstractTableModel(parent) {}

int UrlList::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : count(); }

int UrlList::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant UrlList::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count() || index.column() >= ColumnCount)
        return {};
    const int position = index.row() + 1;
    const StoredRow &row = m_rows[std::size_t(index.row())];
    if (role == StateRole)
        return int(row.state);
    if (role == ProgressFractionRole) {
        if (row.progressKind == RowStatus::ProgressKind::None || row.progressMaximum <= 0)
            return {};
        return std::clamp(double(row.progressValue) / double(row.progressMaximum), 0.0, 1.0);
    }
    if (role == Qt::ToolTipRole && index.column() == RemarkColumn) {
        const QString reason = failureReason(position);
        return reason.isEmpty() ? QVariant() : QVariant(reason);
    }
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    switch (index.column()) {
    case LinkNameColumn: return linkName(position);
    case UrlColumn: return url(position);
    case StatusColumn: return statusText(position);
    case ProgressColumn: return progressText(position);
    default: return remarkText(position);
    }
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

quint64 UrlList::storeText(const QByteArray &bytes)
{
    const qsizetype size = bytes.size();
    if (m_chunkUsed + size > TextChunkBytes) {
        // Not zeroed: a chunk's pages are touched only as texts fill it.
        m_textChunks.emplace_back(new char[std::size_t(std::max(size, TextChunkBytes))]);
        m_chunkUsed = 0;
    }
    const quint64 at = (quint64(m_textChunks.size() - 1) << 32) | quint64(m_chunkUsed);
    std::copy(bytes.cbegin(), bytes.cend(), m_textChunks.back().get() + m_chunkUsed);
    // A text larger than a chunk has one to itself; the next text starts a new one.
    m_chunkUsed = std::max(m_chunkUsed + size, size > TextChunkBytes ? TextChunkBytes : qsizetype(0));
    return at;
}

const char *UrlList::textAt(quint64 at) const { return m_textChunks[std::size_t(at >> 32)].get() + (at & 0xFFFFFFFFu); }

quint32 UrlList::reasonId(const QString &reason)
{
    if (reason.isEmpty())
        return 0;
    const auto found = m_reasonIds.constFind(reason);
    if (found != m_reasonIds.constEnd())
        return *found;
    m_reasons.append(reason);
    const auto id = quint32(m_reasons.size() - 1);
    m_reasonIds.insert(reason, id);
    return id;
}

UrlList::StoredRow UrlList::stored(const UrlRow &row)
{
    StoredRow kept;
    static_cast<RowStatus &>(kept) = row;
    const QByteArray name = row.linkName().toUtf8();
    const QByteArray url = row.url().toUtf8();
    kept.textAt = storeText(name + url);
    kept.nameBytes = quint32(name.size());
    kept.urlBytes = quint32(url.size());
    kept.reason = reasonId(row.failureReason());
    kept.savedPath = reasonId(row.savedPath());
    return kept;
}


QString UrlList::linkName(int position) const
{
    if (!hasRow(position))
        return {};
    const StoredRow &row = m_rows[std::size_t(position - 1)];
    return QString::fromUtf8(textAt(row.textAt), row.nameBytes);
}

QString UrlList::url(int position) const
{
    if (!hasRow(position))
        return {};
    const StoredRow &row = m_rows[std::size_t(position - 1)];
    return QString::fromUtf8(textAt(row.textAt) + row.nameBytes, row.urlBytes);
}

RowStatus UrlList::rowStatus(int position) const
{
    return hasRow(position) ? static_cast<const RowStatus &>(m_rows[std::size_t(position - 1)]) : RowStatus();
}

RowState UrlList::state(int position) const { return hasRow(position) ? m_rows[std::size_t(position - 1)].state : RowState::Idle; }

QString UrlList::failureReason(int position) const
{
    return hasRow(position) ? m_reasons[m_rows[std::size_t(position - 1)].reason] : QString();
}

QString UrlList::savedPath(int position) const
{
    return hasRow(position) ? m_reasons[m_rows[std::size_t(position - 1)].savedPath] : QString();
}

void UrlList::setSavedPath(int position, const QString &path)
{
    StoredRow *row = writable(position);
    if (!row)
        return;
    const quint32 id = reasonId(path);
    if (row->savedPath == id)
        return;
    row->savedPath = id;
    changed(position, StatusColumn, StatusColumn);
}

QString UrlList::statusText(int position) const
{
    return hasRow(position) ? RowTexts::status(m_rows[std::size_t(position - 1)]) : QString();
}

QString UrlList::progressText(int position) const
{
    return hasRow(position) ? RowTexts::progress(m_rows[std::size_t(position - 1)]) : QString();
}

QString UrlList::remarkText(int position) const
{
    return hasRow(position) ? RowTexts::remark(m_rows[std::size_t(position - 1)]) : QString();
}

UrlList::StoredRow *UrlList::writable(int position)
{
    // A row deleted while a slot still referred to its position: nothing to write.
    return hasRow(position) ? &m_rows[static_cast<std::size_t>(position - 1)] : nullptr;
}

void UrlList::changed(int position, Column first, Column last)
{
    emit dataChanged(createIndex(position - 1, first), createIndex(position - 1, last), {Qt::DisplayRole});
}

void UrlList::startRow(int position, int slot)
{
    if (StoredRow *row = writable(position)) {
        row->state = RowState::Downloading;
        row->slot = quint8(slot);
        changed(position, StatusColumn, StatusColumn);
    }
}

void UrlList::setProgress(int position, UrlRow::ProgressKind kind, qint64 value, qint64 maximum)
{
    if (StoredRow *row = writable(position)) {
        row->progressKind = kind;
        row->progressValue = value;
        row->progressMaximum = maximum;
        changed(position, ProgressColumn, ProgressColumn);
    }
}

void UrlList::endRow(int position, RowState state, const QTime &time, const QString &reason)
{
    if (StoredRow *row = writable(position)) {
        row->state = state;
        row->endedAtMs = time.msecsSinceStartOfDay();
        row->reason = reasonId(reason);
        emit dataChanged(createIndex(position - 1, StatusColumn), createIndex(position - 1, RemarkColumn),
                         {Qt::DisplayRole, Qt::ToolTipRole});
    }
}

void UrlList::noteReadyAt(int index)
{
    m_readyHint = std::min(m_readyHint, static_cast<std::size_t>(index));
}

void UrlList::append(const QString &linkName, const QString &url) { appendRows({UrlRow(linkName, url)}); }

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
        if (row.state == RowState::Ready)
            noteReadyAt(static_cast<int>(m_rows.size()));
        m_rows.push_back(stored(row));
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
        std::vector<StoredRow> kept;
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
    m_textChunks.clear();
    m_chunkUsed = TextChunkBytes;
    m_reasons = QStringList{QString()};
    m_reasonIds.clear();
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
    std::vector<StoredRow> reordered;
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

void UrlList::markAllReady() { markReady([](const StoredRow &) { return true; }); }

void UrlList::markUnfinishedReady()
{
    markReady([](const StoredRow &row) { return row.state != RowState::Saved && row.state != RowState::Skipped; });
}

int UrlList::markFailedReady()
{
    const auto failed = [](const StoredRow &row) { return row.state == RowState::Failed || row.state == RowState::PageFailed; };
    const auto rows = std::count_if(m_rows.begin(), m_rows.end(), failed);
    if (rows > 0)
        markReady(failed);
    return int(rows);
}

void UrlList::markReady(const std::function<bool(const StoredRow &)> &which)
{
    if (m_rows.empty())
        return;
    for (StoredRow &row : m_rows) {
        if (!which(row))
            continue;
        row.state = RowState::Ready;
        row.attempt = 0;
        row.progressKind = RowStatus::ProgressKind::None;
        row.reason = 0;
        row.savedPath = 0;
    }
    m_readyHint = 0;
    emit dataChanged(createIndex(0, StatusColumn), createIndex(count() - 1, RemarkColumn),
                     {Qt::DisplayRole, Qt::ToolTipRole});
}

void UrlList::waitForRetry(int position, int attempt, const QTime &time, const QString &reason)
{
    if (StoredRow *row = writable(position)) {
        row->state = RowState::RetryWaiting;
        row->endedAtMs = time.msecsSinceStartOfDay();
        row->attempt = quint8(std::clamp(attempt, 0, 255));
        row->reason = reasonId(reason);
        emit dataChanged(createIndex(position - 1, StatusColumn), createIndex(position - 1, RemarkColumn),
                         {Qt::DisplayRole, Qt::ToolTipRole});
    }
}

bool UrlList::markRowReady(int position)
{
    StoredRow *row = writable(position);
    if (!row || row->state == RowState::Downloading || row->state == RowState::Ready)
        return false;
    row->state = RowState::Ready;
    row->attempt = 0;
    row->progressKind = RowStatus::ProgressKind::None;
    row->reason = 0;
    row->savedPath = 0;
    noteReadyAt(position - 1);
    emit dataChanged(createIndex(position - 1, StatusColumn), createIndex(position - 1, RemarkColumn),
                     {Qt::DisplayRole, Qt::ToolTipRole});
    return true;
}

void UrlList::makeIdle(int position)
{
    StoredRow *row = writable(position);
    if (!row || row->state != RowState::Ready)
        return;
    row->state = RowState::Idle;
    changed(position, StatusColumn, RemarkColumn);
}

void UrlList::readyAgain(int position) { makeReady(position, RowState::RetryWaiting); }

void UrlList::takeBack(int position) { makeReady(position, RowState::Downloading); }

void UrlList::makeReady(int position, RowState from)
{
    StoredRow *row = writable(position);
    if (!row || row->state != from)
        return;
    row->state = RowState::Ready;
    noteReadyAt(position - 1);
    changed(position, StatusColumn, RemarkColumn);
}

int UrlList::firstReady() const
{
    while (m_readyHint < m_rows.size() && m_rows[m_readyHint].state != RowState::Ready) {
        ++m_readyHint;
        ++m_scanSteps;
    }
    ++m_scanSteps;
    return m_readyHint < m_rows.size() ? static_cast<int>(m_readyHint) + 1 : 0;
}

QString UrlList::linkCountText() const { return RowTexts::linkCount(count()); }
