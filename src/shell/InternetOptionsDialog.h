#pragma once

#include <QDialog>

class QVBoxLayout;

// "设置Internet选项": the tools of the built-in browser's profile (cookies, cache), which all
// browsers of the program share.
class InternetOptionsDialog : public QDialog
{
    Q_OBJECT
public:
    explicit InternetOptionsDialog(QWidget *parent = nullptr);

private:
    QVBoxLayout *m_tools;
};
