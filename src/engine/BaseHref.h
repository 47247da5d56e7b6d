#pragma once

#include <QByteArray>
#include <QString>

// The base element that makes a saved page's relative links resolve against its address; the
// address is escaped for an HTML attribute. The tags searched for ("<base href=", "<head>",
// "<body", "<html>") match in any case.

// Markup form: returns the address alone for an empty (or blank-only) source, the source
// unchanged when it is over 1,000,000 characters or already has a base element, otherwise the
// source with the base element inserted.
QString insertBaseElement(const QString &source, const QString &address);

// Byte form of the same insertion: every byte outside the inserted text stays as it was.
// The address is written as UTF-8. Returns the unchanged input when it already has a base element.
QByteArray insertBaseElementIntoBytes(const QByteArray &source, const QString &address, bool *inserted = nullptr);
