#pragma once

#include <QString>
#include <QStringList>

class Browser;

// `quillmoor --harvest ADDRESS_OR_FILE [--match REGEX] [--same-site] [--unique]`: loads the page
// in the browser and prints its harvested rows as list-file lines ("name->address" CR LF) on
// standard output, every link as found unless the options narrow them: --unique drops fragments
// and repeats, --match keeps addresses the regular expression matches somewhere in, --same-site
// those on the loaded page's host. `arguments` are the program's, without its name. Returns the
// exit status: 0 harvested (also when no link qualified), 1 the page could not be loaded in time,
// 2 bad options or a file that does not exist.
int runHarvest(const QStringList &arguments, Browser &browser, int timeoutMs = 60000);
