#include "shell/HarvestFilterDialog.h"

#include "urllist/HarvestFilter.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr int ExtensionRole = Qt::UserRole;

} // namespace

HarvestFilterDialog::HarvestFilterDialog(HarvestFilter &filter, QWidget *parent)
    : QDialog(parent), m_filter(filter)
{
    setObjectName(u"HarvestFilterDialog"_s);
    setWindowTitle(u"筛选采集的链接"_s);
    setModal(true);

    m_count = new QLabel(this);
    m_count->setObjectName(u"harvestCount"_s);

    auto *maskLabel = new QLabel(u"网址匹配："_s, this);
    m_mask = new QLineEdit(this);
    m_mask->setObjectName(u"harvestMask"_s);
    m_mask->setPlaceholderText(u"例如 *.pdf，留空则不限"_s);
    auto *wildcard = new QRadioButton(u"通配符（* 和 ?）"_s, this);
    wildcard->setObjectName(u"harvestMaskWildcard"_s);
    wildcard->setChecked(true);
    m_regularExpression = new QRadioButton(u"正则表达式"_s, this);
    m_regularExpression->setObjectName(u"harvestMaskRegex"_s);
    auto *maskKinds = new QButtonGroup(this);
    maskKinds->addButton(wildcard);
    maskKinds->addButton(m_regularExpression);
    m_maskError = new QLabel(this);
    m_maskError->setObjectName(u"harvestMaskError"_s);
    m_maskError->setStyleSheet(u"color: #c00000"_s);
    m_maskError->setWordWrap(true);
    m_maskError->hide();

    m_sameSite = new QCheckBox(u"只保留同一网站的链接"_s, this);
    m_sameSite->setObjectName(u"harvestSameSite"_s);
    if (filter.pageHasSite()) {
        m_sameSite->setToolTip(u"网站："_s + filter.pageHost());
    } else {
        m_sameSite->setEnabled(false);
        m_sameSite->setToolTip(u"本机网页文件不属于任何网站"_s);
    }

    m_buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    m_buttons->button(QDialogButtonBox::Ok)->setText(u"加入列表"_s);
    m_buttons->button(QDialogButtonBox::Cancel)->setText(u"取消"_s);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto *maskKindRow = new QHBoxLayout;
    maskKindRow->addWidget(wildcard);
    maskKindRow->addWidget(m_regularExpression);
    maskKindRow->addStretch(1);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_count);
    layout->addWidget(new QLabel(u"扩展名："_s, this));
    layout->addWidget(buildExtensionList(), 1);
    layout->addWidget(maskLabel);
    layout->addWidget(m_mask);
    layout->addLayout(maskKindRow);
    layout->addWidget(m_maskError);
    layout->addWidget(m_sameSite);
    layout->addWidget(m_buttons);

    connect(m_extensions, &QListWidget::itemChanged, this, &HarvestFilterDialog::applyChoices);
    connect(m_mask, &QLineEdit::textChanged, this, &HarvestFilterDialog::applyChoices);
    connect(m_regularExpression, &QRadioButton::toggled, this, &HarvestFilterDialog::applyChoices);
    connect(m_sameSite, &QCheckBox::toggled, this, &HarvestFilterDialog::applyChoices);
    applyChoices();
    resize(420, 460);
}

QWidget *HarvestFilterDialog::buildExtensionList()
{
    m_extensions = new QListWidget(this);
    m_extensions->setObjectName(u"harvestExtensions"_s);
    for (const auto &[extension, count] : m_filter.extensions()) {
        const QString shown = extension.isEmpty() ? u"（无扩展名）"_s : extension;
        auto *item = new QListWidgetItem(u"%1（%2 个）"_s.arg(shown).arg(count), m_extensions);
        item->setData(ExtensionRole, extension);
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Checked);
    }
    return m_extensions;
}

void HarvestFilterDialog::applyChoices()
{
    QSet<QString> excluded;
    for (int i = 0; i < m_extensions->count(); ++i) {
        const QListWidgetItem *item = m_extensions->item(i);
        if (item->checkState() != Qt::Checked)
            excluded.insert(item->data(ExtensionRole).toString());
    }
    m_filter.setExcludedExtensions(excluded);
    m_filter.setSameSiteOnly(m_sameSite->isChecked());
    const QString error = m_filter.setMask(m_mask->text(), m_regularExpression->isChecked());
    m_maskError->setText(error);
    m_maskError->setVisible(!error.isEmpty());
    // A mask that is not valid keeps nothing: there is nothing to add until it is corrected.
    m_buttons->button(QDialogButtonBox::Ok)->setEnabled(error.isEmpty());
    m_count->setText(u"共 %1 个链接，保留 %2 个"_s.arg(m_filter.harvestedCount()).arg(m_filter.keptCount()));
}
