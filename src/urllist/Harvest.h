#pragma once

#include "engine/UrlList.h"
#include "platform/Browser.h"

#include <vector>

// The rows a page's links give, in document order, duplicates kept: name = link text with its
// tabs and line breaks turned into blanks, and address = href, both trimmed of blanks; accepted
// when the name is neither empty nor "登陆" and the address passes the "http" rule.
std::vector<UrlRow> harvestRows(const QList<BrowserLink> &links);
// Judges the texts after trimming them, so raw link texts may be passed.
bool harvestAccepted(const QString &name, const QString &address);
