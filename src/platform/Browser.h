#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>

// One link of a loaded document, in document order.
struct BrowserLink
{
    QString outerText; // the element's text as the user sees it
    QString href;      // the absolute address, resolved against the page's base
};

// The markup of a loaded document and the character set it was delivered in.
struct BrowserDocument
{
    QString outerHtml;    // document type declaration and markup of the root element; empty when unreadable
    QString characterSet; // as the document reports it (e.g. "UTF-8", "GBK"); empty when unknown
};

// What the program needs of an embedded web browser. Every call and every signal happens on the
// user-interface thread. Document reads are asynchronous: the callback runs later on that thread,
// exactly once, with empty values when nothing could be read.
class Browser : public QObject
{
    Q_OBJECT
public:
    explicit Browser(QObject *parent = nullptr) : QObject(parent) {}
    ~Browser() override = default;

    // No dialog boxes of the browser's own: no JavaScript alerts, confirms, prompts or
    // certificate questions.
    virtual void setSilent(bool silent) = 0;
    virtual bool silent() const = 0;

    // Returns at once; isBusy() is true from here until the top-level document has finished.
    // Accepts an http(s) address, a local file path, a "file:///" address or the empty address.
    virtual void navigate(const QString &address) = 0;
    virtual void stop() = 0;
    virtual bool isBusy() const = 0;
    // The address of the shown page; empty when no page is shown.
    virtual QString location() const = 0;

    virtual void readDocument(std::function<void(const BrowserDocument &)> done) = 0;
    virtual void readLinks(std::function<void(const QList<BrowserLink> &)> done) = 0;

    // Whether a page may open new windows (the page browsers refuse them) and close the browser
    // by script (no browser of ours allows it).
    void setCancelNewWindows(bool cancel) { m_cancelNewWindows = cancel; }
    bool cancelNewWindows() const { return m_cancelNewWindows; }
    void setCancelWindowClosing(bool cancel) { m_cancelWindowClosing = cancel; }
    bool cancelWindowClosing() const { return m_cancelWindowClosing; }

signals:
    void loadProgress(int progress, int progressMax);
    void titleChanged(const QString &text);
    void statusTextChanged(const QString &text);
    // A successful end of the top-level load: isBusy() is already false when this arrives.
    void loaded();
    // A failed load: network failure or an HTTP error status. isBusy() is already false.
    void loadFailed(int statusCode);
    // A page asked for a new window; raised also when it was refused.
    void newWindowRequested();
    // A page's script asked to close the browser; raised also when it was refused.
    void closeRequested();

private:
    bool m_cancelNewWindows = false;
    bool m_cancelWindowClosing = true;
};
