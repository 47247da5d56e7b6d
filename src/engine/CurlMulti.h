#pragma once

#include "engine/SpeedBudget.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

#include <unordered_map>
#include <vector>

// libcurl's multi interface driven by Qt's event loop on the thread that makes it: the sockets
// libcurl asks about are watched with QSocketNotifiers, its time-out is one single-shot QTimer
// (a time-out of 0, which it asks for many times a file, is run at the end of the loop's round).
// Transfers added while sockets are being handled start at the end of the round, together: their
// requests then leave back to back, and a server that answers them is woken once, not each time.
// Transfers added here share its connection cache and, through its share handle, DNS answers
// and TLS sessions. Owners are told of progress and of the end only after libcurl has returned,
// so they may add, remove or restart transfers from what they do then.
//
// A speed limit holds for all transfers together: what they receive is counted against one
// SpeedBudget, a transfer that overdraws it is paused, and the paused ones go on together once
// the budget is back. Each reads at most its share of the limit at a time, so that the slots
// share it evenly. (A limit per transfer would let every new one start with a burst: many short
// transfers together would outrun it.)
class CurlMulti final : public QObject
{
    Q_OBJECT
public:
    // Idle connections kept for reuse, over all hosts; the oldest is closed past this.
    static constexpr long MaxCachedConnections = 20;
    // Connections to one host at a time; transfers beyond wait for one (or share one over HTTP/2).
    static constexpr long MaxConnectionsPerHost = 10;

    class Transfer
    {
    public:
        // Bytes were handed to this transfer's write callback since the last call.
        virtual void transferProgressed() = 0;
        // The transfer ended with this result; it is no longer in the multi handle.
        virtual void transferDone(CURLcode result) = 0;

    protected:
        ~Transfer() = default;
    };

    explicit CurlMulti(QObject *parent = nullptr);
    ~CurlMulti() override;

    // Transfers under way.
    std::size_t transfers() const { return m_transfers.size(); }
    // For CURLOPT_SHARE.
    CURLSH *share() const { return m_share; }

    // Starts the easy handle; the owner is told of its progress and end until remove().
    // False when libcurl refuses it.
    bool add(CURL *easy, Transfer *owner);
    // Stops the easy handle, if it was added; nothing more is reported for it.
    void remove(CURL *easy);
    // From an owner's write callback: report progress once libcurl has returned.
    void noteProgress(CURL *easy) { m_progressed.push_back(easy); }
    // From an owner's write callback, for the bytes it just took: under a speed limit, a transfer
    // that overdraws the run's budget is paused until the budget is back.
    void spendBytes(CURL *easy, qint64 bytes);
    // The download speed limit in bytes/s of all transfers together, 0 for none. Not from
    // within a libcurl callback.
    void setSpeedLimit(qint64 bytesPerSecond);
    // The CURLOPT_BUFFERSIZE for a transfer about to be added: no larger than its share of the
    // limit (a read never takes more than the buffer, and a larger one would outrun the limit at
    // once), at least libcurl's default, at most preferred.
    long receiveBufferBytes(long preferred) const;
    // One transfer's share of the limit when this many are under way: 0 (none) when there is
    // no limit, else at least 1 byte/s.
    static qint64 speedLimitShare(qint64 bytesPerSecond, std::size_t transfers);

private:
    class SocketWatch;
    struct Entry
    {
        Transfer *owner = nullptr;
        quint64 serial = 0;
        // Added while sockets were being handled; handed to libcurl by handWaitingToCurl().
        bool waiting = false;
    };

    static int onSocket(CURL *easy, curl_socket_t socket, int what, void *self, void *watch);
    static int onTimer(CURLM *multi, long timeoutMs, void *self);
    void socketAction(curl_socket_t socket, int events);
    void deliver();
    // Once every socket that was ready has been handled: starts the transfers added meanwhile
    // and stops watching sockets libcurl left.
    void endRound();
    void endRoundLater();
    // Adds the waiting transfers to the multi handle; endRound() then lets libcurl start them.
    void handWaitingToCurl();
    void resumePaused();
    // Microseconds on the budget's clock.
    qint64 nowUs() const { return m_clock.nsecsElapsed() / 1000; }
    // A transfer that ends or goes is no longer waiting to be resumed.
    void dropPaused(CURL *easy);

    CURLM *m_multi = nullptr;
    CURLSH *m_share = nullptr;
    QTimer m_timer;
    std::unordered_map<CURL *, Entry> m_transfers;
    std::unordered_map<curl_socket_t, SocketWatch *> m_watches;
    std::vector<CURL *> m_progressed;
    quint64 m_nextSerial = 0;
    SpeedBudget m_budget;
    QElapsedTimer m_clock;
    // Transfers paused for the budget, resumed together by m_resumeTimer.
    std::vector<CURL *> m_paused;
    QTimer m_resumeTimer;
    // Within socketAction(): transfers added now wait in m_waiting for the end of the round.
    bool m_handlingSockets = false;
    // libcurl takes no calls into the multi handle from within its own.
    bool m_insideCurl = false;
    // libcurl asked for a time-out of 0: run by endRound().
    bool m_timeoutDue = false;
    std::vector<CURL *> m_waiting;
    // Refused by libcurl when they were started: reported as failed by the next deliver().
    std::vector<CURL *> m_refused;
    std::vector<SocketWatch *> m_parked;
    // Armed when something is left for the end of the round; endRound() disarms it.
    QTimer m_roundTimer;
};
