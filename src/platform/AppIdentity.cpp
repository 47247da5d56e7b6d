#include "platform/AppIdentity.h"

#include <QCoreApplication>

using namespace Qt::Literals::StringLiterals;

QString AppIdentity::name() { return u"Quillmoor"_s; }

QString AppIdentity::desktopId() { return QStringLiteral(QUILLMOOR_DESKTOP_ID); }

void AppIdentity::apply()
{
    QCoreApplication::setOrganizationName(name());
    QCoreApplication::setApplicationName(name());
}
