#include "urllist/ListCommands.h"

#include "engine/UrlList.h"

#include <algorithm>
#include <numeric>

namespace {

// Moves the rows to the order given (0-based old indices), then removes the last `doomed` rows.
// Removing scattered rows one block at a time costs a shift of the list and a model signal per
// block; moving them behind the kept rows first makes it one block.
void reorderAndDropTail(UrlList &list, const std::vector<int> &order, int doomed)
{
    if (!std::is_sorted(order.begin(), order.end()))
        list.reorder(order);
    std::vector<int> positions(static_cast<std::size_t>(doomed));
    std::iota(positions.begin(), positions.end(), list.count() - doomed + 1);
    list.removePositions(positions);
}

} // namespace

void deleteSelectedRows(UrlList &list, const std::vector<int> &selectedPositions, const ListProgress &progress)
{
    const int rows = list.count();
    if (rows == 0)
        return;
    std::vector<bool> selected(static_cast<std::size_t>(rows), false);
    for (int position : selectedPositions) {
        if (list.hasRow(position))
            selected[static_cast<std::size_t>(position - 1)] = true;
    }

    // Every row is examined once, selected or not, so the bar fills whatever was selected.
    ProgressThrottle bar(progress, rows, rows);
    std::vector<int> order;
    std::vector<int> doomed;
    order.reserve(static_cast<std::size_t>(rows));
    for (int i = 0; i < rows; ++i) {
        bar.set(i + 1);
        (selected[static_cast<std::size_t>(i)] ? doomed : order).push_back(i);
    }
    if (!doomed.empty() && doomed.back() - doomed.front() + 1 == static_cast<int>(doomed.size())) {
        // One block: a plain removal tells a view exactly what happened.
        std::vector<int> positions(doomed.size());
        std::iota(positions.begin(), positions.end(), doomed.front() + 1);
        list.removePositions(positions);
        bar.reset();
        return;
    }
    order.insert(order.end(), doomed.begin(), doomed.end());
    reorderAndDropTail(list, order, static_cast<int>(doomed.size()));
    bar.reset();
}

int deleteDuplicateRows(UrlList &list, const ListProgress &progress)
{
    const int rows = list.count();
    if (rows == 0)
        return 0;

    std::vector<QString> urls;
    urls.reserve(static_cast<std::size_t>(rows));
    for (int position = 1; position <= rows; ++position)
        urls.push_back(list.url(position));
    std::vector<int> sorted(static_cast<std::size_t>(rows));
    std::iota(sorted.begin(), sorted.end(), 0);
    // Exact text breaks ties of the case-insensitive order, so exactly equal addresses end up
    // side by side; stability keeps the first of them first.
    std::stable_sort(sorted.begin(), sorted.end(), [&urls](int a, int b) {
        const QString &left = urls[std::size_t(a)];
        const QString &right = urls[std::size_t(b)];
        const int folded = QString::compare(left, right, Qt::CaseInsensitive);
        if (folded != 0)
            return folded < 0;
        return QString::compare(left, right, Qt::CaseSensitive) < 0;
    });

    // The survivors in sorted order, then the duplicates, which are dropped as one block.
    ProgressThrottle bar(progress, rows, rows);
    std::vector<int> order;
    std::vector<int> doomed;
    order.reserve(static_cast<std::size_t>(rows));
    for (int k = 0; k < rows; ++k) {
        bar.set(k + 1);
        const int index = sorted[static_cast<std::size_t>(k)];
        const bool duplicate = k > 0 && urls[std::size_t(index)] == urls[std::size_t(order.back())];
        (duplicate ? doomed : order).push_back(index);
    }
    order.insert(order.end(), doomed.begin(), doomed.end());
    reorderAndDropTail(list, order, static_cast<int>(doomed.size()));
    bar.reset();
    return static_cast<int>(doomed.size());
}

RowCommands rowCommands(const UrlList &list, int position)
{
    RowCommands commands;
    if (!list.hasRow(position))
        return commands;
    const RowState state = list.state(position);
    commands.openFile = state == RowState::Saved && !list.savedPath(position).isEmpty();
    commands.retry = state == RowState::Saved || state == RowState::Failed || state == RowState::Skipped
        || state == RowState::PageFailed;
    commands.cancel = state == RowState::Ready || state == RowState::Downloading || state == RowState::RetryWaiting;
    return commands;
}
