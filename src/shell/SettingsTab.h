#pragma once

#include <QWidget>

class DownloadSettings;
class PageSourceReplacements;
class Dialogs;
class QAbstractButton;
class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLayout;
class QLineEdit;
class QSpinBox;
class QPushButton;
class QRadioButton;

// The "下载设置" tab: the eight download settings, the timed-download switch and the page
// source replacements. Every accepted change is stored the moment it is accepted; a refused
// entry shows its message and keeps the focus in its box until it is corrected.
class SettingsTab : public QWidget
{
    Q_OBJECT
public:
    // The settings, replacements and dialogs must outlive the tab.
    SettingsTab(DownloadSettings &settings, PageSourceReplacements &replacements, Dialogs &dialogs,
                QWidget *parent = nullptr);

    // Shows the loaded settings in the controls (start-up step), selecting option buttons so that
    // their handlers run as the start-up rules say (the record's load() already applied the rules).
    void showSettings();
    // The separator box's current text (the list import reads it even before the box lost focus).
    QString separatorText() const;
    QCheckBox *timedDownloadBox() const; // Check1

signals:
    // Emitted by Option6/Option7 before the new mode is stored (the driver's mode-change hook).
    void modeAboutToChange(bool newModeIsFast);
    // A new thread count or mode was stored: a run takes it up at once.
    void runSettingsChanged();
    void timedDownloadToggled(bool on); // Check1 ticked/unticked

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QLayout *buildSaveFolderRow();
    QLayout *buildLoginRow();
    QWidget *buildNameRuleBox();
    QWidget *buildModeBox();
    QWidget *buildSameNameBox();
    QLayout *buildTimedDownloadRow();
    QLayout *buildThreadsRow();
    QLayout *buildSeparatorRow();
    QWidget *buildFilterHarvestBox();
    QWidget *buildReplacementsBox();
    void connectRadioButton(QRadioButton *button);
    void radioButtonChosen(QAbstractButton *button);
    // Checks the box that lost the focus; true when its text was accepted (and stored).
    bool acceptBox(QLineEdit *box);
    void refuse(QLineEdit *box, const QString &message);
    void browseFolder();
    void addReplacement();
    void deleteReplacement();
    void showReplacements(int select);

    DownloadSettings &m_settings;
    PageSourceReplacements &m_replacements;
    Dialogs &m_dialogs;

    QLineEdit *m_separator = nullptr;     // Text1
    QLineEdit *m_interval = nullptr;      // Text2
    QLineEdit *m_folder = nullptr;        // Text3
    QLineEdit *m_threads = nullptr;       // Text4
    QSpinBox *m_retries = nullptr;
    QSpinBox *m_speedLimit = nullptr;
    QLineEdit *m_loginUrl = nullptr;      // Text5
    QPushButton *m_browse = nullptr;      // Command6
    QRadioButton *m_nameByUrl = nullptr;  // Option1
    QRadioButton *m_nameByLink = nullptr; // Option2
    QRadioButton *m_skip = nullptr;       // Option3
    QRadioButton *m_overwrite = nullptr;  // Option4
    QRadioButton *m_rename = nullptr;     // Option5
    QRadioButton *m_fast = nullptr;       // Option6
    QRadioButton *m_page = nullptr;       // Option7
    QCheckBox *m_timedDownload = nullptr; // Check1
    QCheckBox *m_filterHarvest = nullptr;

    QGroupBox *m_replacementsBox = nullptr; // Frame4
    QComboBox *m_replaceList = nullptr;     // Combo1
    QLabel *m_replaceCount = nullptr;
    QLineEdit *m_replaceFind = nullptr;
    QLineEdit *m_replaceWith = nullptr;

    // The radio button under the mouse or key when a click began, and whether it was already
    // selected then: a click on the selected button changes nothing, yet still runs its handler.
    QAbstractButton *m_pressedButton = nullptr;
    bool m_pressedWasChecked = false;
    // Set while the focus is being put back into a refused box, so that the box that had
    // briefly taken the focus is not checked on the way out.
    bool m_returningFocus = false;
};
