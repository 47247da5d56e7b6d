#include "shell/SettingsTab.h"

#include "engine/DownloadSettings.h"
#include "engine/PageSourceReplacements.h"
#include "platform/Dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

QLabel *makeLabel(const QString &objectName, const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(objectName);
    return label;
}

QLineEdit *makeLineEdit(const QString &objectName, QWidget *parent)
{
    auto *box = new QLineEdit(parent);
    box->setObjectName(objectName);
    return box;
}

QRadioButton *makeRadioButton(const QString &objectName, const QString &caption, QWidget *parent)
{
    auto *button = new QRadioButton(caption, parent);
    button->setObjectName(objectName);
    return button;
}

// A narrow box sized for a few digits, as the short numeric boxes of the tab are.
void setCharsWide(QLineEdit *box, int chars)
{
    const int digits = box->fontMetrics().horizontalAdvance(u"0"_s) * chars;
    box->setFixedWidth(digits + 14);
}

// One line of a replacement text for the list: control characters as their visible pictures,
// long texts shortened.
QString shown(const QString &text)
{
    constexpr int maxChars = 40;
    QString out;
    for (const QChar c : text.left(maxChars))
        out += c.unicode() < 0x20 ? QChar(0x2400 + c.unicode()) : c;
    if (text.size() > maxChars)
        out += u'…';
    return out;
}

bool isRefocusableReason(Qt::FocusReason reason)
{
    // Leaving the window (another window, a menu, a popup) is not leaving the box.
    return reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason
        && reason != Qt::MenuBarFocusReason;
}

} // namespace

SettingsTab::SettingsTab(DownloadSettings &settings, PageSourceReplacements &replacements,
                         Dialogs &dialogs, QWidget *parent)
    : QWidget(parent)
    , m_settings(settings)
    , m_replacements(replacements)
    , m_dialogs(dialogs)
{
    // The controls are made top to bottom, left to right: that is also their focus order.
    QLayout *saveFolderRow = buildSaveFolderRow();
    QLayout *loginRow = buildLoginRow();
    auto *ruleAndModeRow = new QHBoxLayout;
    ruleAndModeRow->addWidget(buildNameRuleBox(), 1);
    ruleAndModeRow->addWidget(buildModeBox(), 1);

    // Same-name rule on the left; timer, threads and separator on the right.
    QWidget *sameNameBox = buildSameNameBox();
    auto *rightColumn = new QVBoxLayout;
    rightColumn->addLayout(buildTimedDownloadRow());
    rightColumn->addLayout(buildThreadsRow());
    rightColumn->addLayout(buildSeparatorRow());
    rightColumn->addWidget(buildFilterHarvestBox());
    rightColumn->addStretch(1);
    auto *lowerRows = new QHBoxLayout;
    lowerRows->addWidget(sameNameBox, 1);
    lowerRows->addLayout(rightColumn, 1);

    auto *page = new QVBoxLayout(this);
    page->addLayout(saveFolderRow);
    page->addLayout(loginRow);
    page->addLayout(ruleAndModeRow);
    page->addLayout(lowerRows);
    page->addWidget(buildReplacementsBox());
    page->addStretch(1);

    // The window's initial selection; showSettings() moves it to the loaded values.
    m_nameByLink->setChecked(true);
    m_rename->setChecked(true);
    m_fast->setChecked(true);

    for (QRadioButton *b : {m_nameByUrl, m_nameByLink, m_skip, m_overwrite, m_rename, m_fast, m_page})
        connectRadioButton(b);
    for (QLineEdit *box : {m_separator, m_interval, m_threads, m_loginUrl})
        box->installEventFilter(this);
    connect(m_browse, &QPushButton::clicked, this, &SettingsTab::browseFolder);
    connect(m_timedDownload, &QCheckBox::toggled, this, &SettingsTab::timedDownloadToggled);
}

QLayout *SettingsTab::buildSaveFolderRow()
{
    auto *folderLabel = makeLabel(u"Label4"_s, u"所有文件保存文件夹："_s, this);
    m_folder = makeLineEdit(u"Text3"_s, this);
    m_folder->setReadOnly(true);
    QPalette tipColours = m_folder->palette();
    tipColours.setColor(QPalette::Base, QToolTip::palette().color(QPalette::ToolTipBase));
    tipColours.setColor(QPalette::Text, QToolTip::palette().color(QPalette::ToolTipText));
    m_folder->setPalette(tipColours);
    m_browse = new QPushButton(u"浏览..."_s, this);
    m_browse->setObjectName(u"Command6"_s);
    auto *row = new QHBoxLayout;
    row->addWidget(folderLabel);
    row->addWidget(m_folder, 1);
    row->addWidget(m_browse);
    return row;
}

QLayout *SettingsTab::buildLoginRow()
{
    auto *loginLabel = makeLabel(u"Label5"_s, u"登陆网址："_s, this);
    m_loginUrl = makeLineEdit(u"Text5"_s, this);
    auto *row = new QHBoxLayout;
    row->addWidget(loginLabel);
    row->addWidget(m_loginUrl, 1);
    return row;
}

QWidget *SettingsTab::buildNameRuleBox()
{
    auto *box = new QGroupBox(u"保存文件名"_s, this);
    box->setObjectName(u"Frame1"_s);
    m_nameByLink = makeRadioButton(u"Option2"_s, DownloadSettings::nameByLink(), box);
    m_nameByUrl = makeRadioButton(u"Option1"_s, DownloadSettings::nameByUrl(), box);
    auto *layout = new QVBoxLayout(box);
    layout->addWidget(m_nameByLink);
    layout->addWidget(m_nameByUrl);
    return box;
}

QWidget *SettingsTab::buildModeBox()
{
    auto *box = new QGroupBox(u"下载方式"_s, this);
    box->setObjectName(u"Frame3"_s);
    m_fast = makeRadioButton(u"Option6"_s, DownloadSettings::modeFast(), box);
    m_page = makeRadioButton(u"Option7"_s, DownloadSettings::modePage(), box);
    auto *layout = new QVBoxLayout(box);
    layout->addWidget(m_fast);
    layout->addWidget(m_page);
    return box;
}

QWidget *SettingsTab::buildSameNameBox()
{
    auto *box = new QGroupBox(u"对相同文件名"_s, this);
    box->setObjectName(u"Frame2"_s);
    m_skip = makeRadioButton(u"Option3"_s, DownloadSettings::collisionSkip(), box);
    m_overwrite = makeRadioButton(u"Option4"_s, DownloadSettings::collisionOverwrite(), box);
    m_rename = makeRadioButton(u"Option5"_s, DownloadSettings::collisionRename(), box);
    auto *layout = new QVBoxLayout(box);
    layout->addWidget(m_skip);
    layout->addWidget(m_overwrite);
    layout->addWidget(m_rename);
    return box;
}

QLayout *SettingsTab::buildTimedDownloadRow()
{
    m_timedDownload = new QCheckBox(u"定时下载"_s, this);
    m_timedDownload->setObjectName(u"Check1"_s);
    auto *intervalLabel = makeLabel(u"Label2"_s, u"时间间隔："_s, this);
    m_interval = makeLineEdit(u"Text2"_s, this);
    m_interval->setMaxLength(4);
    m_interval->setText(u"60"_s);
    setCharsWide(m_interval, 4);
    auto *intervalRange = makeLabel(u"Label3"_s, u"（分钟）[取值：1－1440]"_s, this);
    auto *row = new QHBoxLayout;
    row->addWidget(m_timedDownload);
    row->addSpacing(12);
    row->addWidget(intervalLabel);
    row->addWidget(m_interval);
    row->addWidget(intervalRange);
    row->addStretch(1);
    return row;
}

QLayout *SettingsTab::buildThreadsRow()
{
    auto *threadsLabel = makeLabel(u"Label6"_s, u"下载线程数："_s, this);
    m_threads = makeLineEdit(u"Text4"_s, this);
    m_threads->setMaxLength(2);
    m_threads->setText(u"5"_s);
    setCharsWide(m_threads, 3);
    auto *threadsRange = makeLabel(u"Label7"_s, u"[1-10个]"_s, this);
    // Retries of a download that failed for a passing reason; a spin box cannot hold a bad value.
    auto *retriesLabel = makeLabel(u"RetryLabel"_s, u"失败重试次数："_s, this);
    m_retries = new QSpinBox(this);
    m_retries->setObjectName(u"RetryCount"_s);
    m_retries->setRange(0, DownloadSettings::MaxRetryCount);
    m_retries->setValue(m_settings.retryCount());
    m_retries->setToolTip(u"0：不重试"_s);
    connect(m_retries, &QSpinBox::valueChanged, this, [this](int count) { m_settings.setRetryCount(count); });
    // The whole run's limit, shared by the slots; it holds from the next download on.
    auto *speedLimitLabel = makeLabel(u"SpeedLimitLabel"_s, u"下载限速："_s, this);
    m_speedLimit = new QSpinBox(this);
    m_speedLimit->setObjectName(u"SpeedLimit"_s);
    m_speedLimit->setRange(0, DownloadSettings::MaxSpeedLimitKBps);
    m_speedLimit->setSuffix(u" KB/s"_s);
    m_speedLimit->setSpecialValueText(u"不限速"_s);
    m_speedLimit->setValue(m_settings.speedLimitKBps());
    m_speedLimit->setToolTip(u"0：不限速"_s);
    connect(m_speedLimit, &QSpinBox::valueChanged, this, [this](int kbps) { m_settings.setSpeedLimitKBps(kbps); });
    auto *row = new QHBoxLayout;
    row->addWidget(threadsLabel);
    row->addWidget(m_threads);
    row->addWidget(threadsRange);
    row->addSpacing(12);
    row->addWidget(retriesLabel);
    row->addWidget(m_retries);
    row->addSpacing(12);
    row->addWidget(speedLimitLabel);
    row->addWidget(m_speedLimit);
    row->addStretch(1);
    return row;
}

QLayout *SettingsTab::buildSeparatorRow()
{
    auto *separatorLabel = makeLabel(u"Label1"_s, u"导入文件的连接符："_s, this);
    m_separator = makeLineEdit(u"Text1"_s, this);
    m_separator->setText(u"->"_s);
    setCharsWide(m_separator, 3);
    auto *row = new QHBoxLayout;
    row->addWidget(separatorLabel);
    row->addWidget(m_separator);
    row->addStretch(1);
    return row;
}

QWidget *SettingsTab::buildFilterHarvestBox()
{
    m_filterHarvest = new QCheckBox(u"采集时筛选链接"_s, this);
    m_filterHarvest->setObjectName(u"filterHarvestBox"_s);
    m_filterHarvest->setToolTip(u"采集链接后先显示筛选对话框；不选时全部链接按原样加入网址列表"_s);
    m_filterHarvest->setChecked(m_settings.filterHarvest());
    connect(m_filterHarvest, &QCheckBox::toggled, this, [this](bool on) { m_settings.setFilterHarvest(on); });
    return m_filterHarvest;
}

QWidget *SettingsTab::buildReplacementsBox()
{
    m_replacementsBox = new QGroupBox(u"   下载网页源代码替换"_s, this);
    m_replacementsBox->setObjectName(u"Frame4"_s);
    m_replacementsBox->setCheckable(true);
    m_replacementsBox->setChecked(false);

    auto *countLabel = makeLabel(u"replaceCountLabel"_s, u"需要替换的条数："_s, m_replacementsBox);
    m_replaceCount = makeLabel(u"replaceCount"_s, u"0"_s, m_replacementsBox);
    m_replaceList = new QComboBox(m_replacementsBox);
    m_replaceList->setObjectName(u"Combo1"_s);
    m_replaceList->addItem(u"0"_s);
    m_replaceList->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_replaceList->setMinimumContentsLength(24);
    auto *deleteButton = new QPushButton(u"删除"_s, m_replacementsBox);
    deleteButton->setObjectName(u"replaceDeleteButton"_s);

    auto *findLabel = makeLabel(u"replaceFindLabel"_s, u"被替换内容："_s, m_replacementsBox);
    m_replaceFind = makeLineEdit(u"replaceFindText"_s, m_replacementsBox);
    auto *withLabel = makeLabel(u"replaceWithLabel"_s, u"替换为："_s, m_replacementsBox);
    m_replaceWith = makeLineEdit(u"replaceWithText"_s, m_replacementsBox);
    auto *addButton = new QPushButton(u"添加"_s, m_replacementsBox);
    addButton->setObjectName(u"replaceAddButton"_s);

    auto *countRow = new QHBoxLayout;
    countRow->setSpacing(0);
    countRow->addWidget(countLabel);
    countRow->addWidget(m_replaceCount);

    auto *grid = new QGridLayout(m_replacementsBox);
    grid->addLayout(countRow, 0, 0);
    grid->addWidget(m_replaceList, 0, 1);
    grid->addWidget(deleteButton, 0, 2);
    grid->addWidget(findLabel, 1, 0);
    grid->addWidget(m_replaceFind, 1, 1);
    grid->addWidget(withLabel, 2, 0);
    grid->addWidget(m_replaceWith, 2, 1);
    grid->addWidget(addButton, 2, 2);
    grid->setColumnStretch(1, 1);

    connect(m_replacementsBox, &QGroupBox::toggled, this, [this](bool on) { m_replacements.setEnabled(on); });
    connect(addButton, &QPushButton::clicked, this, &SettingsTab::addReplacement);
    connect(deleteButton, &QPushButton::clicked, this, &SettingsTab::deleteReplacement);
    return m_replacementsBox;
}

void SettingsTab::connectRadioButton(QRadioButton *button)
{
    // A selection change, by the user or by program code, runs the handler; so does a click on
    // the button that is already selected, which changes nothing.
    connect(button, &QRadioButton::toggled, this, [this, button](bool on) {
        if (on)
            radioButtonChosen(button);
    });
    connect(button, &QRadioButton::pressed, this, [this, button] {
        m_pressedButton = button;
        m_pressedWasChecked = button->isChecked();
    });
    connect(button, &QRadioButton::clicked, this, [this, button] {
        const bool unchanged = m_pressedButton == button && m_pressedWasChecked;
        m_pressedButton = nullptr;
        if (unchanged)
            radioButtonChosen(button);
    });
}

void SettingsTab::radioButtonChosen(QAbstractButton *button)
{
    if (button == m_nameByLink)
        m_settings.setNameMethod(DownloadSettings::nameByLink());
    else if (button == m_nameByUrl)
        m_settings.setNameMethod(DownloadSettings::nameByUrl());
    else if (button == m_skip)
        m_settings.setCollisionMethod(DownloadSettings::collisionSkip());
    else if (button == m_overwrite)
        m_settings.setCollisionMethod(DownloadSettings::collisionOverwrite());
    else if (button == m_rename)
        m_settings.setCollisionMethod(DownloadSettings::collisionRename());
    else if (button == m_fast || button == m_page) {
        const bool fast = button == m_fast;
        emit modeAboutToChange(fast);
        m_settings.setDownloadMode(fast ? DownloadSettings::modeFast() : DownloadSettings::modePage());
        emit runSettingsChanged();
    }
}

void SettingsTab::showSettings()
{
    m_interval->setText(QString::number(m_settings.intervalMinutes()));
    (m_settings.nameMethod() == DownloadSettings::nameByLink() ? m_nameByLink : m_nameByUrl)->setChecked(true);
    const QString &collision = m_settings.collisionMethod();
    if (collision == DownloadSettings::collisionSkip())
        m_skip->setChecked(true);
    else if (collision == DownloadSettings::collisionOverwrite())
        m_overwrite->setChecked(true);
    else if (collision == DownloadSettings::collisionRename())
        m_rename->setChecked(true);
    m_separator->setText(m_settings.separator());
    m_threads->setText(QString::number(m_settings.threadCount()));
    {
        const QSignalBlocker quiet(m_retries);
        m_retries->setValue(m_settings.retryCount());
        const QSignalBlocker quietLimit(m_speedLimit);
        m_speedLimit->setValue(m_settings.speedLimitKBps());
    }
    m_folder->setText(m_settings.saveFolder());
    (m_settings.fastMode() ? m_fast : m_page)->setChecked(true);
    m_loginUrl->setText(m_settings.loginUrl());
    {
        const QSignalBlocker quiet(m_filterHarvest);
        m_filterHarvest->setChecked(m_settings.filterHarvest());
    }

    {
        const QSignalBlocker quiet(m_replacementsBox); // showing the stored tick is not a change
        m_replacementsBox->setChecked(m_replacements.enabled());
    }
    showReplacements(0);
}

QString SettingsTab::separatorText() const
{
    return m_separator->text();
}

QCheckBox *SettingsTab::timedDownloadBox() const
{
    return m_timedDownload;
}

bool SettingsTab::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut && !m_returningFocus) {
        auto *box = qobject_cast<QLineEdit *>(watched);
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        if (box && isRefocusableReason(reason))
            acceptBox(box);
    }
    return QWidget::eventFilter(watched, event);
}

bool SettingsTab::acceptBox(QLineEdit *box)
{
    const QString text = box->text();
    QString message;
    if (box == m_separator) {
        const auto check = checkSeparator(text);
        if (check.accepted())
            m_settings.setSeparator(*check.value);
        message = check.message;
    } else if (box == m_interval) {
        const auto check = checkIntervalMinutes(text);
        if (check.accepted())
            m_settings.setIntervalMinutes(*check.value);
        message = check.message;
    } else if (box == m_threads) {
        const auto check = checkThreadCount(text);
        if (check.accepted()) {
            m_settings.setThreadCount(*check.value);
            emit runSettingsChanged();
        }
        message = check.message;
    } else if (box == m_loginUrl) {
        const auto check = checkLoginUrl(text);
        if (check.accepted())
            m_settings.setLoginUrl(*check.value);
        message = check.message;
    }
    if (message.isEmpty())
        return true;
    // The focus is still on its way to the next widget: refuse once it has arrived.
    QTimer::singleShot(0, box, [this, box, message] { refuse(box, message); });
    return false;
}

void SettingsTab::refuse(QLineEdit *box, const QString &message)
{
    m_dialogs.message(message, Dialogs::Icon::Critical);
    // A tab change may have hidden the box: bring its page back so that it can take the focus.
    for (QWidget *w = box->parentWidget(); w; w = w->parentWidget()) {
        if (auto *tabs = qobject_cast<QTabWidget *>(w)) {
            for (int i = 0; i < tabs->count(); ++i) {
                if (tabs->widget(i)->isAncestorOf(box))
                    tabs->setCurrentIndex(i);
            }
        }
    }
    m_returningFocus = true;
    box->setFocus(Qt::OtherFocusReason);
    m_returningFocus = false;
}

void SettingsTab::browseFolder()
{
    const QString chosen = m_dialogs.chooseFolder(u"请选择文件夹: "_s, m_folder->text());
    if (!chosen.isEmpty())
        m_folder->setText(withTrailingSeparator(chosen));
    if (!m_folder->text().isEmpty()) {
        m_settings.setSaveFolder(m_folder->text());
    } else {
        m_dialogs.message(u"请选择下载文件保存路径！"_s, Dialogs::Icon::Information);
        m_browse->setFocus(Qt::OtherFocusReason);
    }
}

void SettingsTab::addReplacement()
{
    if (!m_replacements.add(m_replaceFind->text(), m_replaceWith->text()))
        return;
    m_replaceFind->clear();
    m_replaceWith->clear();
    showReplacements(m_replacements.count() - 1);
}

void SettingsTab::deleteReplacement()
{
    const int index = m_replaceList->currentIndex();
    if (!m_replacements.removeAt(index))
        return;
    showReplacements(std::min(index, m_replacements.count() - 1));
}

void SettingsTab::showReplacements(int select)
{
    const int count = m_replacements.count();
    m_replaceCount->setText(QString::number(count));
    m_replaceList->clear();
    if (count == 0) {
        m_replaceList->addItem(u"0"_s);
        return;
    }
    for (int i = 0; i < count; ++i) {
        const auto &pair = m_replacements.pairs()[static_cast<std::size_t>(i)];
        m_replaceList->addItem(QString::number(i + 1) + u": "_s + shown(pair.find) + u" → "_s
                               + shown(pair.replacement));
    }
    m_replaceList->setCurrentIndex(std::clamp(select, 0, count - 1));
}
