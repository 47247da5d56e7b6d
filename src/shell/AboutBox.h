#pragma once

#include <QDialog>
#include <QStringList>

class Dialogs;
class QLabel;
class QPushButton;

// The about box frmAbout: title, version, the maker's page (the shipped manual) and a button
// that starts a system-information tool. Made anew for every opening.
class frmAbout : public QDialog
{
    Q_OBJECT
public:
    explicit frmAbout(Dialogs &dialogs, QWidget *parent = nullptr);

    // The tools tried in order by StartSysInfo.
    static QStringList systemInfoTools();
    // The first of the tools found on the PATH, or the empty text.
    static QString findSystemInfoProgram(const QStringList &tools = systemInfoTools());

    void StartSysInfo();
    void openMakerPage();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Dialogs &m_dialogs;
    QLabel *m_image;
    QLabel *m_link;
};
