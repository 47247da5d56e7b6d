#include "shell/AboutDialog.h"

#include "platform/Dialogs.h"
#include "shell/LayoutUnits.h"
#include "shell/Resources.h"
#include "platform/AppIdentity.h"

#include <QEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace {

QFrame *separatorLine(QWidget *parent)
{
    auto *frame = new QFrame(parent);
    frame->setFrameShape(QFrame::HLine);
    frame->setFrameShadow(QFrame::Sunken);
    return frame;
}

const QString linkHint = u"去看一看..."_s;

} // namespace

AboutDialog::AboutDialog(Dialogs &dialogs, QWidget *parent) : QDialog(parent), m_dialogs(dialogs)
{
    setObjectName(u"frmAbout"_s);
    setWindowTitle(u"关于 "_s + AppIdentity::name());

    QBoxLayout *heading = buildHeading();
    QBoxLayout *makerLink = buildMakerLink();
    QBoxLayout *buttons = buildButtons();

    auto *body = new QHBoxLayout;
    body->addLayout(heading, 1);
    body->addLayout(buttons);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 12, 16, 12);
    layout->addLayout(body, 1);
    layout->addWidget(separatorLine(this));
    layout->addLayout(makerLink);
    layout->addWidget(separatorLine(this));

    setFixedSize(twipsToPixels(6855), twipsToPixels(4530));
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
}

QBoxLayout *AboutDialog::buildHeading()
{
    auto *title = new QLabel(AppIdentity::name(), this);
    title->setObjectName(u"lblTitle"_s);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 2.0);
    titleFont.setBold(true);
    title->setFont(titleFont);
    QPalette titlePalette = title->palette();
    titlePalette.setColor(QPalette::WindowText, Qt::red);
    title->setPalette(titlePalette);

    auto *version = new QLabel(u"版本 %1.%2.%3"_s.arg(QUILLMOOR_VERSION_MAJOR)
                                   .arg(QUILLMOOR_VERSION_MINOR)
                                   .arg(QUILLMOOR_VERSION_PATCH),
                               this);
    version->setObjectName(u"lblVersion"_s);

    auto *heading = new QVBoxLayout;
    heading->addWidget(title);
    heading->addWidget(version);
    heading->addStretch(1);
    return heading;
}

QBoxLayout *AboutDialog::buildMakerLink()
{
    m_image = new QLabel(this);
    m_image->setObjectName(u"Image1"_s);
    m_image->setPixmap(Resources::programIcon().pixmap(16, 16));
    m_image->setFixedSize(16, 16);
    m_image->setToolTip(linkHint);
    m_image->setCursor(Qt::PointingHandCursor);
    m_image->installEventFilter(this);

    m_link = new QLabel(u"软件升级："_s + Resources::helpPageUrl().toString(), this);
    m_link->setObjectName(u"Label4"_s);
    m_link->setToolTip(linkHint);
    m_link->setCursor(Qt::PointingHandCursor);
    m_link->setWordWrap(true);
    QPalette linkPalette = m_link->palette();
    linkPalette.setColor(QPalette::WindowText, Qt::blue);
    m_link->setPalette(linkPalette);
    m_link->installEventFilter(this);

    auto *row = new QHBoxLayout;
    row->addWidget(m_image, 0, Qt::AlignTop);
    row->addWidget(m_link, 1);
    return row;
}

QBoxLayout *AboutDialog::buildButtons()
{
    auto *ok = new QPushButton(u"确定"_s, this);
    ok->setObjectName(u"cmdOK"_s);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto *systemInfo = new QPushButton(u"系统信息(&S)..."_s, this);
    systemInfo->setObjectName(u"cmdSysInfo"_s);
    systemInfo->setAutoDefault(false);
    connect(systemInfo, &QPushButton::clicked, this, &AboutDialog::startSystemInfo);

    auto *buttons = new QVBoxLayout;
    buttons->addWidget(ok);
    buttons->addWidget(systemInfo);
    buttons->addStretch(1);
    return buttons;
}

QStringList AboutDialog::systemInfoTools()
{
    return {u"hardinfo"_s, u"gnome-system-monitor"_s, u"ksysguard"_s, u"plasma-systemmonitor"_s,
            u"xfce4-taskmanager"_s, u"mate-system-monitor"_s};
}

QString AboutDialog::findSystemInfoProgram(const QStringList &tools)
{
    for (const QString &tool : tools) {
        const QString path = QStandardPaths::findExecutable(tool);
        if (!path.isEmpty())
            return path;
    }
    return {};
}

void AboutDialog::startSystemInfo()
{
    const QString program = findSystemInfoProgram();
    if (program.isEmpty() || !QProcess::startDetached(program, {}))
        m_dialogs.message(u"此时系统信息不可用"_s, Dialogs::Icon::None);
}

void AboutDialog::openMakerPage() { m_dialogs.openExternally(Resources::helpPageUrl().toString()); }

bool AboutDialog::eventFilter(QObject *watched, QEvent *event)
{
    if ((watched == m_image || watched == m_link) && event->type() == QEvent::MouseButtonRelease
        && static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        openMakerPage();
        return true;
    }
    return QDialog::eventFilter(watched, event);
}
