#pragma once

#include <QDialog>
#include <QStringList>

class Dialogs;
class QBoxLayout;
class QLabel;

// The about box (object name frmAbout): title, version, the maker's page (the shipped manual)
// and a button that starts a system-information tool. Made anew for every opening.
class AboutDialog : public QDialog
{
    Q_OBJECT
public:
    explicit AboutDialog(Dialogs &dialogs, QWidget *parent = nullptr);

    // The tools tried in order by startSystemInfo.
    static QStringList systemInfoTools();
    // The first of the tools found on the PATH, or the empty text.
    static QString findSystemInfoProgram(const QStringList &tools = systemInfoTools());

    void startSystemInfo();
    void openMakerPage();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QBoxLayout *buildHeading();
    QBoxLayout *buildMakerLink();
    QBoxLayout *buildButtons();

    Dialogs &m_dialogs;
    QLabel *m_image = nullptr;
    QLabel *m_link = nullptr;
};
