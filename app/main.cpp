#include "engine/UrlList.h"

#ifndef QUILLMOOR_NO_GUI
#include "shell/MinimalWindow.h"
#include <QApplication>
#else
#include <QCoreApplication>
#endif

using namespace Qt::Literals::StringLiterals;

int main(int argc, char *argv[])
{
#ifndef QUILLMOOR_NO_GUI
    QApplication app(argc, argv);
    QApplication::setApplicationName(u"Quillmoor"_s);
    UrlList list;
    MinimalWindow window(list);
    window.show();
    return QApplication::exec();
#else
    QCoreApplication app(argc, argv);
    return 0;
#endif
}
