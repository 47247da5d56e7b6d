#pragma once

#include <QDialog>

class HarvestFilter;
class QCheckBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QRadioButton;

// Shown before harvested links are added: the user narrows the harvest by extension, by a
// mask on the address and to the page's site, watching how many links are kept. The choices
// are set on the filter as they change; accepted, the filter's kept rows are the ones to add.
class HarvestFilterDialog : public QDialog
{
    Q_OBJECT
public:
    // The filter must outlive the dialog.
    explicit HarvestFilterDialog(HarvestFilter &filter, QWidget *parent = nullptr);

private:
    QWidget *buildExtensionList();
    void applyChoices();

    HarvestFilter &m_filter;
    QLabel *m_count = nullptr;
    QListWidget *m_extensions = nullptr;
    QLineEdit *m_mask = nullptr;
    QRadioButton *m_regularExpression = nullptr;
    QLabel *m_maskError = nullptr;
    QCheckBox *m_sameSite = nullptr;
    QDialogButtonBox *m_buttons = nullptr;
};
