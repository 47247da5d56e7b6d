#pragma once

#include <QSystemTrayIcon>

class QAction;
class QMenu;
class QWidget;

// The notification-area icon of the main window: the program icon with the program title as
// tip; a left click shows the window, a right click opens the one-item menu menu托盘.
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

private:
    QWidget &m_window;
    QMenu *m_menu;
};
