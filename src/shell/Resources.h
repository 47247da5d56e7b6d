#pragma once

#include <QIcon>
#include <QString>
#include <QUrl>

// What the window ships: the program's icon (built in; the desktop's copy is the same drawing)
// and the user manual, help/index.html among the program's data files (DataFiles). The maker's pages of the help menu and the about box
// are sections of the manual, so no internet address is ever opened.
namespace Resources {

QIcon programIcon();

QString helpPagePath();
// The manual's file address, with a section anchor when one is given.
QUrl helpPageUrl(const QString &anchor = {});

// The sections of the three maker pages.
inline QString updateAnchor() { return QStringLiteral("update"); }
inline QString authorAnchor() { return QStringLiteral("author"); }
inline QString otherSoftwareAnchor() { return QStringLiteral("other-software"); }

} // namespace Resources
