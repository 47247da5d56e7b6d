#include "platform/MemorySettingsStore.h"

QString MemorySettingsStore::value(const QString &key, const QString &defaultValue) const
{
    return m_values.value(key, defaultValue);
}

void MemorySettingsStore::setValue(const QString &key, const QString &value)
{
    m_values.insert(key, value);
    ++m_saveCount;
}
