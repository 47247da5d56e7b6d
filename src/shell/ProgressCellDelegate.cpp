#include "shell/ProgressCellDelegate.h"

#include "engine/UrlList.h"

#include <QPainter>

void ProgressCellDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const QVariant fraction = index.data(UrlList::ProgressFractionRole);
    if (fraction.isValid()) {
        QRect bar = option.rect.adjusted(1, 2, -1, -2);
        bar.setWidth(int(bar.width() * fraction.toDouble()));
        QColor fill = option.palette.color(QPalette::Highlight);
        fill.setAlpha(70); // light enough for the text over it
        painter->fillRect(bar, fill);
    }
    QStyledItemDelegate::paint(painter, option, index);
}
