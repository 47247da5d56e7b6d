#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <QString>
#include <QTime>

#include <functional>
#include <memory>
#include <vector>

// Where a row stands in the run. The texts the user sees are made from it by RowTexts.
enum class RowState : quint8 {
    Idle,        // never started since it was added
    Ready,       // waiting for a slot
    Downloading, // a slot has it
    Saved,       // ended with its file in place
    Failed,      // ended with an error
    Skipped,     // ended by the same-name rule
    PageFailed,  // page mode: the browser could not load the page
    RetryWaiting, // failed for a passing reason; ready again once its back-off is over
};

// A row's place in the run: its state, the time it ended and its progress, as numbers.
struct RowStatus
{
    enum class ProgressKind : quint8 { None, Bytes, Page };

    RowState state = RowState::Idle;
    quint8 slot = 0;           // the slot that has it, while Downloading
    quint8 attempt = 0;        // retries made so far in this run: 0 on the first try
    ProgressKind progressKind = ProgressKind::None;
    qint32 endedAtMs = 0;      // time of day the row ended, in ms since midnight
    qint64 progressValue = 0;  // bytes received, or the browser's progress
    qint64 progressMaximum = 0;
};

// A row as it is handed to the list or harvested: link name and address, kept as UTF-8.
class UrlRow : public RowStatus
{
public:
    UrlRow() = default;
    UrlRow(const QString &linkName, const QString &url);

    QString linkName() const;
    QString url() const;
    // Why the last download of the row failed, in plain words; shown as the remark's tooltip.
    QString failureReason() const;
    void setFailureReason(const QString &reason);
    // Where the row's last download put its file (UrlList::savedPath).
    QString savedPath() const;
    void setSavedPath(const QString &path);

private:
    void setEndTexts(const QByteArray &reason, const QByteArray &savedPath);

    QByteArray m_text; // link name, address, failure reason, saved path
    quint32 m_nameBytes = 0;
    quint32 m_urlBytes = 0;
    quint32 m_reasonBytes = 0;
};

// The URL list: at once the list the user edits and the queue of download jobs. Rows are
// addressed by 1-based position; a write to a position where no row stands is dropped silently
// (rows may be deleted while a slot still refers to one).
class UrlList final : public QAbstractTableModel
{
    Q_OBJECT
public:
    enum Column { LinkNameColumn, UrlColumn, StatusColumn, ProgressColumn, RemarkColumn, ColumnCount };
    // Read by the view's delegates and filters, on any column: the progress as a double from 0 to 1
    // (no value while nothing is known), and the RowState as an int.
    enum Role { ProgressFractionRole = Qt::UserRole, StateRole };

    explicit UrlList(QObject *parent = nullptr);

    // QAbstractItemModel: the texts of the three state columns come from RowTexts; the remark
    // of a failed row has its reason as tooltip.
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Positions are 1-based; reads of a missing position give the empty text or Idle.
    int count() const { return static_cast<int>(m_rows.size()); }
    bool hasRow(int position) const { return position >= 1 && position <= count(); }
    QString linkName(int position) const;
    QString url(int position) const;
    RowState state(int position) const;
    QString failureReason(int position) const;
    // Where the last download of the row put its file; empty when it did not. A change is
    // signalled on the status column.
    QString savedPath(int position) const;
    void setSavedPath(int position, const QString &path);
    // The whole status of the row, as kept: for saving the list and bringing it back.
    RowStatus rowStatus(int position) const;
    // The three state columns as the user sees them.
    QString statusText(int position) const;
    QString progressText(int position) const;
    QString remarkText(int position) const;

    // A slot took the row.
    void startRow(int position, int slot);
    void setProgress(int position, UrlRow::ProgressKind kind, qint64 value, qint64 maximum);
    // The row ended (Saved, Failed, Skipped or PageFailed) at that time of day; a failure says why.
    void endRow(int position, RowState state, const QTime &time, const QString &reason = {});

    // Appends rows, Idle.
    void append(const QString &linkName, const QString &url);
    void appendRows(const std::vector<UrlRow> &rows);
    // Room for this many rows in all, so that a big import does not move the list while growing.
    void reserve(std::size_t rows) { m_rows.reserve(rows); }
    // Removes the rows at the given positions (any order, duplicates ignored) in as few
    // model signals as there are contiguous blocks.
    void removePositions(std::vector<int> positions);
    void removeAt(int position);
    void clear();
    // Replaces the order of the rows: newOrder[i] is the old 0-based index of the row that
    // goes to 0-based index i. Must be a permutation.
    void reorder(const std::vector<int> &newOrder);

    // Marks every row Ready, its progress and failure reason cleared.
    void markAllReady();
    // The same for every row that has not ended saved or skipped: what a continued run still
    // has to do.
    void markUnfinishedReady();
    // The same for every row whose last download failed; returns how many there were.
    int markFailedReady();
    // A row whose download failed for a passing reason waits (RetryWaiting, with this retry's
    // number, the time it failed and the reason) until readyAgain() puts it back in the queue.
    void waitForRetry(int position, int attempt, const QTime &time, const QString &reason);
    void readyAgain(int position);
    // One row that no slot has, made ready as markFailedReady() does; false when a slot has it
    // or it is ready already.
    bool markRowReady(int position);
    // A ready row that no slot has taken yet goes back to idle.
    void makeIdle(int position);
    // A row a stopped run took back: ready, its progress kept.
    void takeBack(int position);

    // The first Ready row, or 0 when there is none. Amortised constant time over a run: a hint
    // never moves back past a row that cannot be ready.
    int firstReady() const;
    // Rows looked at by firstReady() since the list was made: lets tests bound the work of a run.
    quint64 readyScanSteps() const { return m_scanSteps; }

    // "链接数：" + row count.
    QString linkCountText() const;

private:
    // Above this many separate blocks a removal resets the model instead of signalling each block.
    static constexpr std::size_t ManyBlocks = 64;

    // A row as the list keeps it: its status, where its texts lie and its interned reason. The
    // texts of all rows share megabyte pieces: a list of a million rows makes no million
    // allocations, and moving rows never moves their texts.
    struct StoredRow : RowStatus
    {
        quint64 textAt = 0;
        quint32 nameBytes = 0;
        quint32 urlBytes = 0;
        quint32 reason = 0;    // index into m_reasons; 0 is none
        quint32 savedPath = 0; // the same
    };
    static constexpr qsizetype TextChunkBytes = 1 << 20;

    StoredRow stored(const UrlRow &row);
    quint64 storeText(const QByteArray &bytes);
    const char *textAt(quint64 at) const;
    quint32 reasonId(const QString &reason);
    StoredRow *writable(int position);
    void changed(int position, Column first, Column last);
    void noteReadyAt(int index);
    void markReady(const std::function<bool(const StoredRow &)> &which);
    void makeReady(int position, RowState from);

    std::vector<StoredRow> m_rows;
    std::vector<std::unique_ptr<char[]>> m_textChunks;
    qsizetype m_chunkUsed = TextChunkBytes;
    // Interned texts: failure reasons and saved paths.
    QStringList m_reasons{QString()};
    QHash<QString, quint32> m_reasonIds;
    // No row before this 0-based index is ready.
    mutable std::size_t m_readyHint = 0;
    mutable quint64 m_scanSteps = 0;
};
