#pragma once

#include <QStringList>

// What both programs read off their command line; all but programArguments() before the
// application object exists, to choose what to run.
namespace CommandLine {

// The word after `option`, "" when it is the last word, nullptr when the option is not given.
const char *optionValue(int argc, char *argv[], const char *option);

bool hasOption(int argc, char *argv[], const char *option);

// --help or -h.
bool helpWanted(int argc, char *argv[]);

// The application's arguments without the program's name (needs the application object).
QStringList programArguments();

// Does this batch run use page mode (by option, or else by the stored setting)?
bool pageModeWanted(int argc, char *argv[]);

} // namespace CommandLine
