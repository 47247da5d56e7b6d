#pragma once

#include "engine/UrlList.h"

#include <QSortFilterProxyModel>

#include <vector>

// The list as the view shows it: sorted by the column the user picked, and only the rows whose
// link name or address holds a text (in any case) and whose state fits a choice. The list's own
// order never changes here; every view row is mapped back to its list position.
class UrlListFilter final : public QSortFilterProxyModel
{
    Q_OBJECT
public:
    // In the order of the view's choice box.
    enum class StateChoice { All, Waiting, Downloading, Done, Failed, Skipped };

    explicit UrlListFilter(UrlList &list, QObject *parent = nullptr);

    void setText(const QString &text);
    void setStateChoice(StateChoice choice);
    static bool fits(StateChoice choice, RowState state);

    // The 1-based list position of a view index, or 0 for none.
    int position(const QModelIndex &viewIndex) const;
    std::vector<int> positions(const QModelIndexList &viewIndexes) const;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    // The progress column sorts by the fraction done, the others by their texts.
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

private:
    UrlList &m_list;
    QString m_text;
    StateChoice m_choice = StateChoice::All;
};
