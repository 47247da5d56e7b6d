#pragma once

#include <QString>

// The per-user settings store: text values under fixed keys of one application and section.
// Nothing is ever deleted from it.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;

    // The stored text, or defaultValue when the key is absent.
    virtual QString value(const QString &key, const QString &defaultValue) const = 0;
    // Creates or replaces the text. Failures are not reported.
    virtual void setValue(const QString &key, const QString &value) = 0;
};
