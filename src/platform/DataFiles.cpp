#include "platform/DataFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

QString DataFiles::path(const QString &relativePath)
{
    const QDir executableDir(QCoreApplication::applicationDirPath());
    const QString beside = executableDir.filePath(relativePath);
    if (QFileInfo::exists(beside))
        return beside;
    const QString installed =
        QDir::cleanPath(executableDir.filePath(QStringLiteral(QUILLMOOR_DATA_FOLDER_FROM_PROGRAM "/") + relativePath));
    return QFileInfo::exists(installed) ? installed : beside;
}
