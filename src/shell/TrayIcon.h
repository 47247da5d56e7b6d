#pragma once

#include <QSystemTrayIcon>

class QAction;
class QMenu;
class QWidget;

// The notification-area icon of the main window: the program icon with the program title as
// tip; a left click shows the window, a right click opens the menu menu托盘: 显示界面, and the
// window's start, stop and exit commands, which the window carries out on the signals.
class TrayIcon : public QSystemTrayIcon
{
    Q_OBJECT
public:
    // The window must outlive the icon; the menu is made a child of the window.
    explicit TrayIcon(QWidget &window);
    ~TrayIcon() override;

    // Shows the window's icon in the notification area, with the tip.
    void add(const QString &tip);
    // Takes the icon away: only on the way out of the program.
    void remove();

    QMenu *menu() const { return m_menu; }

    void onActivated(QSystemTrayIcon::ActivationReason reason);
    void showWindow();

signals:
    void startRequested();
    void stopRequested();
    void exitRequested();

private:
    void addCommand(const QString &name, const QString &caption, void (TrayIcon::*signal)());

    QWidget &m_window;
    QMenu *m_menu;
};
