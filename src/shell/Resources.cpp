#include "shell/Resources.h"

#include <QCoreApplication>
#include <QDir>

using namespace Qt::Literals::StringLiterals;

QIcon Resources::programIcon()
{
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addFile(u":/quillmoor/icons/quillmoor-%1.png"_s.arg(size), QSize(size, size));
    return icon;
}

QString Resources::helpPagePath()
{
    return QDir(QCoreApplication::applicationDirPath()).filePath(u"help/index.html"_s);
}

QUrl Resources::helpPageUrl(const QString &anchor)
{
    QUrl url = QUrl::fromLocalFile(helpPagePath());
    if (!anchor.isEmpty())
        url.setFragment(anchor);
    return url;
}
