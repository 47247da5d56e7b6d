#pragma once

#include <QString>

// Where the files the program ships lie (the blank page, the manual): beside the executable in a
// build folder, under ../share/quillmoor relative to it once installed.
namespace DataFiles {

// The shipped file at this path relative to the data folder: the first of the two places that
// has it, or the place beside the executable when neither does.
QString path(const QString &relativePath);

} // namespace DataFiles
