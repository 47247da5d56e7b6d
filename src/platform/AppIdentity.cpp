#include "platform/AppIdentity.h"

#include <QCoreApplication>

using namespace Qt::Literals::StringLiterals;

QString AppIdentity::name() { return u"Quillmoor"_s; }

void AppIdentity::apply()
{
    QCoreApplication::setOrganizationName(name());
    QCoreApplication::setApplicationName(name());
}
