#include "shell/Resources.h"

#include "platform/DataFiles.h"

using namespace Qt::Literals::StringLiterals;

QIcon Resources::programIcon()
{
    QIcon icon;
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256})
        icon.addFile(u":/quillmoor/icons/quillmoor-%1.png"_s.arg(size), QSize(size, size));
    return icon;
}

QString Resources::helpPagePath()
{
    return DataFiles::path(u"help/index.html"_s);
}

QUrl Resources::helpPageUrl(const QString &anchor)
{
    QUrl url = QUrl::fromLocalFile(helpPagePath());
    if (!anchor.isEmpty())
        url.setFragment(anchor);
    return url;
}
