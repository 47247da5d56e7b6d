#pragma once

#include <QString>

// Where the files the program ships lie (the blank page, the manual): beside the executable in a
// build folder; once installed, in share/quillmoor, found relative to the folder of
// quillmoor-window (libexec/quillmoor), the program that reads them.
namespace DataFiles {

// The shipped file at this path relative to the data folder: the first of the two places that
// has it, or the place beside the executable when neither does.
QString path(const QString &relativePath);

} // namespace DataFiles
