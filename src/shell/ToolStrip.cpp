#include "shell/ToolStrip.h"

#include "engine/DownloadDriver.h"
#include "shell/LayoutUnits.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

using namespace Qt::Literals::StringLiterals;

namespace {

QColor fromBgr(int bgr)
{
    return QColor(bgr & 0xff, (bgr >> 8) & 0xff, (bgr >> 16) & 0xff);
}

QPushButton *makeButton(const QString &name, const QString &caption, int widthTwips, int heightTwips,
                        QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(name);
    button->setMinimumSize(twipsToPixels(widthTwips), twipsToPixels(heightTwips));
    button->setAutoDefault(false);
    return button;
}

} // namespace

StatusLight::StatusLight(QWidget *parent) : QWidget(parent), m_fillColour(Green)
{
    setFixedSize(twipsToPixels(300), twipsToPixels(165));
}

void StatusLight::setFillColour(int bgr)
{
    if (bgr == m_fillColour)
        return;
    m_fillColour = bgr;
    update();
}

QSize StatusLight::sizeHint() const { return {twipsToPixels(300), twipsToPixels(165)}; }

void StatusLight::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::black, 1));
    painter.setBrush(fromBgr(m_fillColour));
    // A circle centred in the light's box, as large as its height allows.
    const qreal d = std::min(width(), height()) - 1.0;
    painter.drawEllipse(QRectF((width() - d) / 2.0, (height() - d) / 2.0, d, d));
}

ToolStrip::ToolStrip(QWidget *parent) : QWidget(parent)
{
    setObjectName(u"Picture1"_s);

    m_login = makeButton(u"Command2"_s, u"登陆"_s, 1035, 330, this);
    m_importPage = makeButton(u"Command3"_s, u"导入网页"_s, 1035, 330, this);
    m_importFile = makeButton(u"Command1"_s, u"导入文件"_s, 1035, 330, this);
    m_start = makeButton(u"Command4"_s, u"开始下载"_s, 1035, 330, this);
    m_stop = makeButton(u"Command5"_s, u"停止下载"_s, 1035, 330, this);
    m_exit = makeButton(u"Command7"_s, u"退出"_s, 945, 495, this);

    m_progress = new QProgressBar(this);
    m_progress->setObjectName(u"ProgressBar1"_s);
    m_progress->setRange(0, 100);
    m_progress->setValue(0);
    m_progress->setTextVisible(false);
    m_progress->setFixedHeight(twipsToPixels(220));

    auto *panel = new QWidget(this);
    panel->setObjectName(u"Picture2"_s);
    panel->setFixedHeight(twipsToPixels(220));
    panel->setMinimumWidth(twipsToPixels(2175));
    auto *lights = new QHBoxLayout(panel);
    lights->setContentsMargins(1, 1, 1, 1);
    lights->setSpacing(0);
    for (int n = 1; n <= LightCount; ++n) {
        auto *light = new StatusLight(panel);
        light->setObjectName(u"Shape1_%1"_s.arg(n));
        m_lights[static_cast<std::size_t>(n - 1)] = light;
        lights->addWidget(light);
        lights->addStretch(1);
    }

    // Two rows as designed: the five command buttons above, the progress bar under the first
    // three and the lights under start and stop; the exit button spans both rows on the right.
    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(3, 0, 3, 2);
    grid->setHorizontalSpacing(5);
    grid->setVerticalSpacing(2);
    grid->addWidget(m_login, 0, 0);
    grid->addWidget(m_importPage, 0, 1);
    grid->addWidget(m_importFile, 0, 2);
    grid->addWidget(m_start, 0, 3);
    grid->addWidget(m_stop, 0, 4);
    grid->addWidget(m_exit, 0, 5, 2, 1, Qt::AlignVCenter);
    grid->addWidget(m_progress, 1, 0, 1, 3);
    grid->addWidget(panel, 1, 3, 1, 2);
    grid->setColumnStretch(6, 1);

    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

StatusLight *ToolStrip::light(int slot) const
{
    if (slot < 1 || slot > LightCount)
        return nullptr;
    return m_lights[static_cast<std::size_t>(slot - 1)];
}
