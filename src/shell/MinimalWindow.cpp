#include "shell/MinimalWindow.h"

#include "engine/UrlList.h"

#include <QTableView>

using namespace Qt::Literals::StringLiterals;

MinimalWindow::MinimalWindow(UrlList &list, QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(u"Quillmoor"_s);
    auto *view = new QTableView(this);
    view->setObjectName(u"ListView1"_s);
    view->setModel(&list);
    setCentralWidget(view);
    resize(716, 442);
}
