#include "shell/TrayIcon.h"

#include <QAction>
#include <QMenu>
#include <QWidget>

using namespace Qt::Literals::StringLiterals;

TrayIcon::TrayIcon(QWidget &window) : QSystemTrayIcon(window.windowIcon(), &window), m_window(window)
{
    setObjectName(u"TrayIcon"_s);
    m_menu = new QMenu(u"托盘"_s, &window);
    m_menu->setObjectName(u"menu托盘"_s);
    QAction *show = m_menu->addAction(u"显示界面"_s);
    show->setObjectName(u"menu显示界面"_s);
    connect(show, &QAction::triggered, this, &TrayIcon::showWindow);
    addCommand(u"menu托盘开始下载"_s, u"开始下载"_s, &TrayIcon::startRequested);
    addCommand(u"menu托盘停止下载"_s, u"停止下载"_s, &TrayIcon::stopRequested);
    m_menu->addSeparator();
    addCommand(u"menu托盘退出"_s, u"退出"_s, &TrayIcon::exitRequested);
    setContextMenu(m_menu);
    connect(this, &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::addCommand(const QString &name, const QString &caption, void (TrayIcon::*signal)())
{
    QAction *action = m_menu->addAction(caption);
    action->setObjectName(name);
    connect(action, &QAction::triggered, this, signal);
}

void TrayIcon::add(const QString &tip)
{
    setIcon(m_window.windowIcon());
    setToolTip(tip);
    show();
}

void TrayIcon::remove() { hide(); }

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    // The right button opens the context menu by itself; double clicks do nothing of their own.
    if (reason == QSystemTrayIcon::Trigger)
        showWindow();
}

void TrayIcon::showWindow()
{
    m_window.show();
    m_window.raise();
    m_window.activateWindow();
}
