#pragma once

#include "engine/UrlList.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

class DownloadDriver;

// The run as a whole: how many rows ended done, failed or skipped and how many are left, the
// total speed and the time left. Follows a driver's runs over its list, sampling once a second
// while a run is on; every part is also public so that tests can feed it by hand.
class RunOverview : public QObject
{
    Q_OBJECT
public:
    static constexpr int SampleMs = 1000;
    // The speed is an exponential moving average: each one-second sample weighs this much.
    static constexpr double SampleWeight = 0.3;

    // What the list still has to do for the run: rows ready, downloading or waiting for a retry;
    // the bytes still to come of those downloading, and whether that is all there is to fetch
    // (every row left is a download of known size). The last row downloading, for the view.
    struct Left
    {
        int rows = 0;
        qint64 bytes = 0;
        bool bytesKnown = false;
        int lastRunning = 0;
    };
    static Left left(const UrlList &list);

    // The bytes one download received since `counted`, its last reported level, given its
    // cumulative progress `done`; `counted` becomes `done`. A download's first report (counted
    // < 0) counts from `kept`, the bytes an earlier attempt kept for it; progress that goes back
    // means the download started over, from 0.
    static qint64 newBytes(qint64 &counted, qint64 done, qint64 kept);

    explicit RunOverview(QObject *parent = nullptr);

    // Follows the driver's runs over the list; the driver and the list must outlive this.
    void follow(DownloadDriver &driver, const UrlList &list);

    // The feed. start() begins a run afresh; sample() takes the time since then in ms.
    void start();
    void rowEnded(RowState state);
    void addBytes(qint64 bytes) { m_bytes += bytes; }
    void sample(qint64 elapsedMs, const Left &left);
    void end(qint64 elapsedMs, const Left &left);

    bool isRunning() const { return m_running; }
    int done() const { return m_done; }
    int failed() const { return m_failed; }
    int skipped() const { return m_skipped; }
    int ended() const { return m_done + m_failed + m_skipped; }
    int rowsLeft() const { return m_left.rows; }
    int rowsInRun() const { return ended() + m_left.rows; }
    int lastRunning() const { return m_left.lastRunning; }
    // Bytes received in this run.
    qint64 bytes() const { return m_bytes; }
    // Bytes per second, smoothed; 0 before the first sample.
    double speed() const { return m_speed; }
    // Seconds until the run is done: the bytes left at the current speed when they are all
    // known, else the rows left at the run's average time per row; -1 without an estimate.
    qint64 secondsLeft() const;

    // "完成 12  失败 1  跳过 0  剩余 87  1.2 MB/s  剩余时间 00:42": speed and time left only
    // while a run is on, and only once there is one.
    QString text() const;

signals:
    // A run started or ended, or a sample was taken.
    void changed();

private:
    void takeSample();

    const UrlList *m_list = nullptr;
    QTimer m_sampler;
    QElapsedTimer m_clock;
    bool m_running = false;
    int m_done = 0;
    int m_failed = 0;
    int m_skipped = 0;
    Left m_left;
    qint64 m_bytes = 0;
    qint64 m_sampledBytes = 0;
    qint64 m_sampledMs = 0;
    qint64 m_elapsedMs = 0;
    double m_speed = 0;
    bool m_sampled = false;
};
