#include "platform/web/BrowserEngine.h"

#include <QCoreApplication>

#include <unistd.h>

void BrowserEngine::prepare(Display display)
{
    if (display == Display::None && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    if (flags.trimmed().isEmpty())
        flags = "--disable-background-networking --disable-component-update";
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if ((platform.startsWith("offscreen") || platform.startsWith("minimal")) && !flags.contains("--disable-gpu"))
        flags += " --disable-gpu";
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}
