#pragma once

#include <QStyledItemDelegate>

// Draws the progress cell as a bar filled to the row's fraction done (UrlList's
// ProgressFractionRole), its text over it; a cell with no fraction is drawn as text alone.
class ProgressCellDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};
