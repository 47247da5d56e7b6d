#include "platform/MemorySettingsStore.h"

QString MemorySettingsStore::GetSetting(const QString &key, const QString &defaultValue) const
{
    return m_values.value(key, defaultValue);
}

void MemorySettingsStore::SaveSetting(const QString &key, const QString &value)
{
    m_values.insert(key, value);
    ++m_saveCount;
}
