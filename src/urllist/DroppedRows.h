#pragma once

#include "engine/UrlList.h"

#include <QStringList>

#include <vector>

class QMimeData;

// What a drop on the list, or the clipboard pasted into it, gives: local files to import (list
// files and saved pages alike) and rows to append.
struct DroppedItems
{
    QStringList files;
    std::vector<UrlRow> rows;
    bool isEmpty() const { return files.isEmpty() && rows.empty(); }
};

// Local files when there are any; else the links of the markup, named by their texts; else the
// addresses the data carries; else those in its plain text.
DroppedItems droppedItems(const QMimeData &data);
// A row for each http or https address in the text, in order. A line with one address names it
// by the rest of the line (without the blanks and punctuation around it), when there is any.
std::vector<UrlRow> rowsFromText(const QString &text);
// A row for each link of the markup whose target is an http or https address, named by its text.
std::vector<UrlRow> rowsFromMarkup(const QString &html);
// The name a row without link text gets: the address's last path segment without its extension
// (the link-name rule adds the address's own), else its host.
QString nameFromAddress(const QString &address);
