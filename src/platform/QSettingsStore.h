#pragma once

#include "platform/SettingsStore.h"

#include <QSettings>

// SettingsStore on QSettings: application "Quillmoor", section "下载设置",
// in ~/.config/Quillmoor/Quillmoor.conf unless a file is named.
class QSettingsStore final : public SettingsStore
{
public:
    QSettingsStore();
    // A store in the given INI file (tests, portable use).
    explicit QSettingsStore(const QString &iniFile);

    QString value(const QString &key, const QString &defaultValue) const override;
    void setValue(const QString &key, const QString &value) override;

    static QString applicationName();
    static QString sectionName();

    // The file the values live in.
    QString fileName() const;

private:
    mutable QSettings m_settings;
};
