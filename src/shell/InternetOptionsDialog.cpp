#include "shell/InternetOptionsDialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

InternetOptionsDialog::InternetOptionsDialog(QWidget *parent) : QDialog(parent)
{
    setObjectName(u"InternetOptionsDialog"_s);
    setWindowTitle(u"Internet选项"_s);

    auto *text = new QLabel(u"内置浏览器和十个网页下载浏览器共用一份浏览器配置（Cookie、登陆状态和缓存）。\n"
                            u"清除 Cookie（退出所有网站的登陆）和清除缓存的工具随内置浏览器提供。"_s,
                            this);
    text->setObjectName(u"lblExplanation"_s);
    text->setWordWrap(true);

    m_tools = new QVBoxLayout;

    auto *buttons = new QDialogButtonBox(this);
    QPushButton *close = buttons->addButton(u"关闭"_s, QDialogButtonBox::RejectRole);
    close->setObjectName(u"cmdClose"_s);
    close->setDefault(true);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(text);
    layout->addLayout(m_tools);
    layout->addStretch(1);
    layout->addWidget(buttons);
    resize(420, 160);
}
