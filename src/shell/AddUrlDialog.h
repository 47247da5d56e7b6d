#pragma once

#include <QDialog>

class UrlList;
class QLineEdit;

// The modal add-URL dialog: each "加入列表" appends one row when the entry passes the check,
// then empties both boxes; the dialog stays open until "关闭".
class AddUrlDialog : public QDialog
{
    Q_OBJECT
public:
    // The list must outlive the dialog.
    explicit AddUrlDialog(UrlList &list, QWidget *parent = nullptr);

private:
    void addToList();

    UrlList &m_list;
    QLineEdit *m_name = nullptr;    // Text1
    QLineEdit *m_address = nullptr; // Text2
};
