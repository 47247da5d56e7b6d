#include "shell/AddUrlDialog.h"

#include "engine/UrlList.h"
#include "urllist/ListFile.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

AddUrlDialog::AddUrlDialog(UrlList &list, QWidget *parent)
    : QDialog(parent)
    , m_list(list)
{
    setObjectName(u"AddURL"_s);
    setWindowTitle(u"添加网址"_s);
    setModal(true);

    auto *nameLabel = new QLabel(u"链接名称："_s, this);
    nameLabel->setObjectName(u"Label1"_s);
    m_name = new QLineEdit(this);
    m_name->setObjectName(u"Text1"_s);
    auto *addressLabel = new QLabel(u"网址："_s, this);
    addressLabel->setObjectName(u"Label2"_s);
    m_address = new QLineEdit(this);
    m_address->setObjectName(u"Text2"_s);
    auto *add = new QPushButton(u"加入列表"_s, this);
    add->setObjectName(u"Command1"_s);
    auto *close = new QPushButton(u"关闭"_s, this);
    close->setObjectName(u"Command2"_s);

    // The name box is about half as wide as the address box.
    auto *nameRow = new QHBoxLayout;
    nameRow->addWidget(m_name, 3030);
    nameRow->addStretch(6465 - 3030);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1905 - 420);
    buttons->addWidget(add, 1380);
    buttons->addStretch(3930 - 1905 - 1380);
    buttons->addWidget(close, 1380);
    buttons->addStretch(6885 - 3930 - 1380);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 12, 28, 12);
    layout->addWidget(nameLabel);
    layout->addLayout(nameRow);
    layout->addSpacing(8);
    layout->addWidget(addressLabel);
    layout->addWidget(m_address);
    layout->addSpacing(12);
    layout->addLayout(buttons);

    setTabOrder(m_name, m_address);
    setTabOrder(m_address, add);
    setTabOrder(add, close);
    resize(493, sizeHint().height());

    connect(add, &QPushButton::clicked, this, &AddUrlDialog::addToList);
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
}

void AddUrlDialog::addToList()
{
    const QString name = m_name->text();
    const QString address = m_address->text();
    if (!addUrlAccepted(name, address))
        return;
    m_list.append(name, address);
    m_name->clear();
    m_address->clear();
}
