#include "platform/QSettingsStore.h"

#include "platform/AppIdentity.h"

#include <QStringList>

using namespace Qt::Literals::StringLiterals;

namespace {

QString fullKey(const QString &key) { return QSettingsStore::sectionName() + u'/' + key; }

} // namespace

// NativeFormat is an INI file on this platform, named <organisation>/<application>.conf.
QSettingsStore::QSettingsStore()
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, applicationName(), applicationName())
{
}

QSettingsStore::QSettingsStore(const QString &iniFile)
    : m_settings(iniFile, QSettings::IniFormat)
{
}

QString QSettingsStore::applicationName() { return AppIdentity::name(); }

QString QSettingsStore::sectionName() { return u"下载设置"_s; }

QString QSettingsStore::fileName() const { return m_settings.fileName(); }

QString QSettingsStore::value(const QString &key, const QString &defaultValue) const
{
    const QVariant value = m_settings.value(fullKey(key));
    if (!value.isValid())
        return defaultValue;
    // A hand-edited value with commas is read back as a list; give it back as one text.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(u", "_s);
    return value.toString();
}

void QSettingsStore::setValue(const QString &key, const QString &value)
{
    m_settings.setValue(fullKey(key), value);
    // Written through at once, so a crash later loses no accepted change.
    m_settings.sync();
}
