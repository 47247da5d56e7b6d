#pragma once

#include <QString>

class Browser;

// `quillmoor --harvest ADDRESS_OR_FILE`: loads the page in the browser and prints its harvested
// rows as list-file lines ("name->address" CR LF) on standard output. Returns the exit status:
// 0 harvested (also when no link qualified), 1 the page could not be loaded in time, 2 a file
// that does not exist.
int runHarvest(const QString &addressOrFile, Browser &browser, int timeoutMs = 60000);
