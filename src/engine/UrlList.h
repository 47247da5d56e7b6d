#pragma once

#include <QAbstractTableModel>
#include <QString>

#include <vector>

struct UrlRow
{
    QString linkName;
    QString url;
    QString status;
    QString progress;
    QString remark;
    // Why the last transfer of the row failed, in plain words; shown as the remark's tooltip.
    QString failureReason = {};
};

// The URL list: at once the list the user edits and the queue of download jobs. The whole state
// of a job is the text of its row. Rows are addressed by 1-based position; a write to a position
// where no row stands is dropped silently (rows may be deleted while a slot still refers to one).
class UrlList final : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { LinkNameColumn, UrlColumn, StatusColumn, ProgressColumn, RemarkColumn, ColumnCount };

    explicit UrlList(QObject *parent = nullptr);

    // QAbstractItemModel
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Positions are 1-based; reads of a missing position give the empty text.
    int count() const { return static_cast<int>(m_rows.size()); }
    bool hasRow(int position) const { return position >= 1 && position <= count(); }
    const UrlRow &row(int position) const; // position must exist
    QString linkName(int position) const;
    QString url(int position) const;
    QString status(int position) const;
    QString progress(int position) const;
    QString remark(int position) const;

    void setStatus(int position, const QString &text);
    void setProgress(int position, const QString &text);
    void setRemark(int position, const QString &text);
    void setFailureReason(int position, const QString &reason);
    QString failureReason(int position) const;

    // Appends rows with empty status, progress and remark.
    void append(const QString &linkName, const QString &url);
    void appendRows(const std::vector<UrlRow> &rows);
    // Removes the rows at the given positions (any order, duplicates ignored) in as few
    // model signals as there are contiguous blocks.
    void removePositions(std::vector<int> positions);
    void removeAt(int position);
    void clear();
    // Replaces the order of the rows: newOrder[i] is the old 0-based index of the row that
    // goes to 0-based index i. Must be a permutation.
    void reorder(const std::vector<int> &newOrder);

    // Marks every row ready: status "准备下载", progress, remark and failure reason empty.
    void 置LV准备下载();

    // The first row whose status is exactly "准备下载", or 0 when there is none. Amortised
    // constant time over a run: a hint never moves back past a row that cannot be ready.
    int firstReady() const;
    // Rows looked at by firstReady() since the list was made: lets tests bound the work of a run.
    quint64 readyScanSteps() const { return m_scanSteps; }

    // "链接数：" + row count.
    QString linkCountText() const;

private:
    // Above this many separate blocks a removal resets the model instead of signalling each block.
    static constexpr std::size_t ManyBlocks = 64;

    void setField(int position, Column column, const QString &text);
    void noteReadyAt(int index);

    std::vector<UrlRow> m_rows;
    // No row before this 0-based index is ready.
    mutable std::size_t m_readyHint = 0;
    mutable quint64 m_scanSteps = 0;
};
