#include "engine/CurlMulti.h"

#include <QAbstractEventDispatcher>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

void initialiseCurlOnce()
{
    // Not thread-safe in every libcurl version: done once, from the first thread that downloads.
    static const CURLcode initialised = curl_global_init(CURL_GLOBAL_DEFAULT);
    Q_UNUSED(initialised);
}

} // namespace

// The read and write notifiers of one socket number libcurl uses, kept while the multi handle
// lives and then dropped with deleteLater: that may be from within a notifier's own signal.
//
// A connection handed back to libcurl's cache is usually taken up again by the next transfer
// within the same round of the event loop. Its read notifier is then left on ("parked") until
// the round ends instead of being switched off and on again, which costs the event loop a
// wake-up each time; CurlMulti switches off whatever is still parked before the loop polls.
class CurlMulti::SocketWatch final : public QObject
{
public:
    SocketWatch(curl_socket_t socket, CurlMulti &multi) : m_socket(socket), m_multi(multi) {}

    void watch(bool readable, bool writable)
    {
        m_parked = false;
        update(m_read, QSocketNotifier::Read, readable, CURL_CSELECT_IN);
        update(m_write, QSocketNotifier::Write, writable, CURL_CSELECT_OUT);
    }

    // libcurl no longer asks about the socket. True if the read notifier was left on.
    bool park()
    {
        update(m_write, QSocketNotifier::Write, false, CURL_CSELECT_OUT);
        m_parked = m_read && m_read->isEnabled();
        return m_parked;
    }

    void unpark()
    {
        if (m_parked)
            watch(false, false);
    }

private:
    void update(std::unique_ptr<QSocketNotifier> &notifier, QSocketNotifier::Type type, bool on, int event)
    {
        if (!notifier) {
            if (!on)
                return;
            notifier = std::make_unique<QSocketNotifier>(m_socket, type);
            connect(notifier.get(), &QSocketNotifier::activated, this, [this, event] {
                // Whatever a cached connection receives is libcurl's to find when it reuses it.
                if (m_parked)
                    unpark();
                else
                    m_multi.socketAction(m_socket, event);
            });
        }
        notifier->setEnabled(on);
    }

    curl_socket_t m_socket;
    CurlMulti &m_multi;
    std::unique_ptr<QSocketNotifier> m_read;
    std::unique_ptr<QSocketNotifier> m_write;
    bool m_parked = false;
};

CurlMulti::CurlMulti(QObject *parent) : QObject(parent)
{
    initialiseCurlOnce();
    m_multi = curl_multi_init();
    m_share = curl_share_init();
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, MaxCachedConnections);
    curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, MaxConnectionsPerHost);
    curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        m_timeoutDue = true;
        endRound();
    });
    m_clock.start();
    m_resumeTimer.setSingleShot(true);
    m_resumeTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_resumeTimer, &QTimer::timeout, this, &CurlMulti::resumePaused);
    // The end of each round of the event loop, after the sockets that were ready: the dispatcher
    // says so before it polls (aboutToBlock) and after each round (awake). The zero timer is for
    // a loop that runs the dispatcher's sources without saying so (a native dialog's).
    if (QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance(thread())) {
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &CurlMulti::endRound);
        connect(dispatcher, &QAbstractEventDispatcher::awake, this, &CurlMulti::endRound);
    }
    m_roundTimer.setSingleShot(true);
    connect(&m_roundTimer, &QTimer::timeout, this, &CurlMulti::endRound);
}

CurlMulti::~CurlMulti()
{
    for (const auto &[easy, entry] : m_transfers)
        curl_multi_remove_handle(m_multi, easy);
    // Closing the cached connections must not call back into a half-destroyed object.
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, nullptr);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, nullptr);
    curl_multi_cleanup(m_multi);
    curl_share_cleanup(m_share);
    // A watch may be the sender of the signal this destructor runs from.
    for (const auto &[socket, watch] : m_watches) {
        watch->watch(false, false);
        watch->deleteLater();
    }
}

bool CurlMulti::add(CURL *easy, Transfer *owner)
{
    if (m_handlingSockets) {
        m_transfers[easy] = Entry{owner, ++m_nextSerial, true};
        m_waiting.push_back(easy);
        endRoundLater();
        return true;
    }
    m_transfers[easy] = Entry{owner, ++m_nextSerial, false};
    if (curl_multi_add_handle(m_multi, easy) == CURLM_OK)
        return true;
    m_transfers.erase(easy);
    return false;
}

void CurlMulti::remove(CURL *easy)
{
    dropPaused(easy);
    const auto it = m_transfers.find(easy);
    if (it == m_transfers.end())
        return;
    const bool waiting = it->second.waiting;
    m_transfers.erase(it);
    if (waiting)
        m_waiting.erase(std::remove(m_waiting.begin(), m_waiting.end(), easy), m_waiting.end());
    else
        curl_multi_remove_handle(m_multi, easy);
}

void CurlMulti::endRoundLater()
{
    if (!m_roundTimer.isActive())
        m_roundTimer.start(0);
}

void CurlMulti::endRound()
{
    if (m_insideCurl)
        return;
    m_roundTimer.stop();
    // Starting transfers and what libcurl wants done at once may each bring more of both: a few
    // passes here, the rest from the event loop. Owners told of the outcome may end this object.
    const QPointer<CurlMulti> alive(this);
    for (int pass = 0; pass < 4 && (m_timeoutDue || !m_waiting.empty()); ++pass) {
        handWaitingToCurl();
        m_timeoutDue = false;
        socketAction(CURL_SOCKET_TIMEOUT, 0);
        if (!alive)
            return;
    }
    if (m_timeoutDue || !m_waiting.empty())
        m_timer.start(0);
    // Parked sockets the transfers just started did not take up: no longer watched.
    for (SocketWatch *watch : std::exchange(m_parked, {}))
        watch->unpark();
}

void CurlMulti::handWaitingToCurl()
{
    for (CURL *easy : std::exchange(m_waiting, {})) {
        const auto it = m_transfers.find(easy);
        if (it == m_transfers.end())
            continue;
        it->second.waiting = false;
        if (curl_multi_add_handle(m_multi, easy) != CURLM_OK)
            m_refused.push_back(easy);
    }
}

void CurlMulti::setSpeedLimit(qint64 bytesPerSecond)
{
    const qint64 limit = std::max<qint64>(bytesPerSecond, 0);
    if (limit == m_budget.limit())
        return;
    m_budget.setLimit(limit, nowUs());
    if (limit == 0)
        resumePaused();
}

void CurlMulti::spendBytes(CURL *easy, qint64 bytes)
{
    const qint64 waitMs = m_budget.spend(bytes, nowUs());
    if (waitMs == 0)
        return;
    // libcurl takes a pause from within the transfer's own callback; it goes on only when told.
    curl_easy_pause(easy, CURLPAUSE_RECV);
    if (std::find(m_paused.begin(), m_paused.end(), easy) == m_paused.end())
        m_paused.push_back(easy);
    if (!m_resumeTimer.isActive())
        m_resumeTimer.start(int(std::min<qint64>(waitMs, 60'000)));
}

void CurlMulti::dropPaused(CURL *easy)
{
    m_paused.erase(std::remove(m_paused.begin(), m_paused.end(), easy), m_paused.end());
}

void CurlMulti::resumePaused()
{
    if (const qint64 waitMs = m_budget.waitMs(nowUs()); waitMs > 0) {
        m_resumeTimer.start(int(std::min<qint64>(waitMs, 60'000)));
        return;
    }
    m_resumeTimer.stop();
    // libcurl runs them again from its timer; what they then receive is reported as ever.
    for (CURL *easy : std::exchange(m_paused, {})) {
        if (m_transfers.count(easy) > 0)
            curl_easy_pause(easy, CURLPAUSE_CONT);
    }
}

qint64 CurlMulti::speedLimitShare(qint64 bytesPerSecond, std::size_t transfers)
{
    if (bytesPerSecond <= 0)
        return 0;
    return std::max<qint64>(bytesPerSecond / qint64(std::max<std::size_t>(transfers, 1)), 1);
}

long CurlMulti::receiveBufferBytes(long preferred) const
{
    const qint64 share = speedLimitShare(m_budget.limit(), m_transfers.size() + 1);
    if (share == 0)
        return preferred;
    return long(std::clamp<qint64>(share, CURL_MAX_WRITE_SIZE, std::max<qint64>(preferred, CURL_MAX_WRITE_SIZE)));
}

int CurlMulti::onSocket(CURL *, curl_socket_t socket, int what, void *self, void *watch)
{
    auto &multi = *static_cast<CurlMulti *>(self);
    auto *socketWatch = static_cast<SocketWatch *>(watch);
    if (what == CURL_POLL_REMOVE) {
        // Kept for the next socket of the same number: a connection handed back to the cache
        // is forgotten here and taken up again by the next transfer, once per file.
        if (socketWatch && socketWatch->park()) {
            multi.m_parked.push_back(socketWatch);
            multi.endRoundLater();
        }
        return 0;
    }
    if (!socketWatch) {
        SocketWatch *&kept = multi.m_watches[socket];
        if (!kept)
            kept = new SocketWatch(socket, multi);
        socketWatch = kept;
        curl_multi_assign(multi.m_multi, socket, socketWatch);
    }
    socketWatch->watch(what & CURL_POLL_IN, what & CURL_POLL_OUT);
    return 0;
}

int CurlMulti::onTimer(CURLM *, long timeoutMs, void *self)
{
    auto &multi = *static_cast<CurlMulti *>(self);
    if (timeoutMs < 0) {
        multi.m_timer.stop();
    } else if (timeoutMs == 0) {
        // Asked for many times a file: done before the event loop next polls.
        multi.m_timeoutDue = true;
        multi.endRoundLater();
    } else if (!multi.m_timer.isActive() || multi.m_timer.remainingTime() > timeoutMs) {
        // A time-out that comes early only makes libcurl ask again for the rest.
        multi.m_timer.start(int(std::min<long>(timeoutMs, 24L * 3600 * 1000)));
    }
    return 0;
}

void CurlMulti::socketAction(curl_socket_t socket, int events)
{
    int running = 0;
    const bool outermost = !m_handlingSockets;
    m_handlingSockets = true;
    m_insideCurl = true;
    curl_multi_socket_action(m_multi, socket, events, &running);
    m_insideCurl = false;
    // What an owner does may end this object (see deliver()).
    const QPointer<CurlMulti> alive(this);
    deliver();
    if (alive && outermost)
        m_handlingSockets = false;
}

void CurlMulti::deliver()
{
    // Collected first: what an owner does may add and remove transfers, and an easy handle
    // removed and added again is a new transfer (its serial tells them apart).
    struct Event
    {
        CURL *easy;
        quint64 serial;
        bool done;
        CURLcode result;
    };
    std::vector<Event> events;
    for (CURL *easy : std::exchange(m_progressed, {})) {
        const auto it = m_transfers.find(easy);
        if (it != m_transfers.end() && (events.empty() || events.back().easy != easy))
            events.push_back({easy, it->second.serial, false, CURLE_OK});
    }
    for (CURL *easy : std::exchange(m_refused, {})) {
        const auto it = m_transfers.find(easy);
        if (it != m_transfers.end())
            events.push_back({easy, it->second.serial, true, CURLE_FAILED_INIT});
    }
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        const auto it = m_transfers.find(message->easy_handle);
        if (message->msg == CURLMSG_DONE && it != m_transfers.end())
            events.push_back({message->easy_handle, it->second.serial, true, message->data.result});
    }
    const QPointer<CurlMulti> alive(this);
    for (const Event &event : events) {
        // The last owner may go, and this with it, from what it does.
        if (!alive)
            return;
        const auto it = m_transfers.find(event.easy);
        if (it == m_transfers.end() || it->second.serial != event.serial)
            continue;
        Transfer *owner = it->second.owner;
        if (event.done) {
            dropPaused(event.easy);
            m_transfers.erase(it);
            curl_multi_remove_handle(m_multi, event.easy);
            owner->transferDone(event.result);
        } else {
            owner->transferProgressed();
        }
    }
}
