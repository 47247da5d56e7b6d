#pragma once

#include <QMainWindow>

class UrlList;

// Stand-in window until the main window lands: shows the URL list.
class MinimalWindow : public QMainWindow
{
    Q_OBJECT
public:
    explicit MinimalWindow(UrlList &list, QWidget *parent = nullptr);
};
