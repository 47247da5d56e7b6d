#pragma once

#include "platform/SettingsStore.h"

#include <QMap>

// A store that lives in memory only: for tests and for runs that must not touch the user's store.
class MemorySettingsStore final : public SettingsStore
{
public:
    QString value(const QString &key, const QString &defaultValue) const override;
    void setValue(const QString &key, const QString &value) override;

    const QMap<QString, QString> &values() const { return m_values; }
    int saveCount() const { return m_saveCount; }

private:
    QMap<QString, QString> m_values;
    int m_saveCount = 0;
};
