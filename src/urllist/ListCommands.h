#pragma once

#include "urllist/ListFile.h"

#include <vector>

class UrlList;

// Removes the rows at the given 1-based positions. Progress counts every row examined. Rows in
// more than one block are first moved behind the others (one layout change), then removed at once.
void deleteSelectedRows(UrlList &list, const std::vector<int> &selectedPositions,
                        const ListProgress &progress = {});

// Sorts the list by address (case-insensitive, exact text breaking ties, stable), then removes
// every row whose address equals, exactly, that of a row before it. The list keeps the sorted
// order; of equal addresses the row that stood first in the list survives. Returns rows removed.
int deleteDuplicateRows(UrlList &list, const ListProgress &progress = {});

// Which of the commands on one row apply to the row at a position: opening its file (saved, with
// its path known), running it again (ended) and cancelling it (waiting for or under download).
struct RowCommands
{
    bool openFile = false;
    bool retry = false;
    bool cancel = false;
};
RowCommands rowCommands(const UrlList &list, int position);
