#include "engine/RunOverview.h"

#include "engine/DownloadDriver.h"
#include "engine/RowTexts.h"

#include <algorithm>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

RunOverview::Left RunOverview::left(const UrlList &list)
{
    Left left;
    bool allKnown = true;
    for (int position = 1; position <= list.count(); ++position) {
        const RowStatus row = list.rowStatus(position);
        const RowState state = row.state;
        if (state != RowState::Ready && state != RowState::Downloading && state != RowState::RetryWaiting)
            continue;
        ++left.rows;
        const bool known = state == RowState::Downloading && row.progressKind == RowStatus::ProgressKind::Bytes
            && row.progressMaximum > 0;
        if (known)
            left.bytes += std::max<qint64>(0, row.progressMaximum - row.progressValue);
        allKnown = allKnown && known;
        if (state == RowState::Downloading)
            left.lastRunning = position;
    }
    left.bytesKnown = left.rows > 0 && allKnown;
    return left;
}

qint64 RunOverview::newBytes(qint64 &counted, qint64 done, qint64 kept)
{
    if (counted < 0)
        counted = kept;
    if (done < counted)
        counted = 0;
    const qint64 bytes = done - counted;
    counted = done;
    return bytes;
}

RunOverview::RunOverview(QObject *parent) : QObject(parent)
{
    m_sampler.setInterval(SampleMs);
    connect(&m_sampler, &QTimer::timeout, this, &RunOverview::takeSample);
}

void RunOverview::follow(DownloadDriver &driver, const UrlList &list)
{
    m_list = &list;
    connect(&driver, &DownloadDriver::runStarted, this, [this] {
        start();
        m_left = left(*m_list);
        m_clock.start();
        m_sampler.start();
        emit changed();
    });
    connect(&driver, &DownloadDriver::rowEnded, this, [this](int position) { rowEnded(m_list->state(position)); });
    connect(&driver, &DownloadDriver::bytesReceived, this, &RunOverview::addBytes);
    connect(&driver, &DownloadDriver::runEnded, this, [this] {
        m_sampler.stop();
        end(m_clock.isValid() ? m_clock.elapsed() : 0, left(*m_list));
    });
}

void RunOverview::takeSample()
{
    if (m_list)
        sample(m_clock.elapsed(), left(*m_list));
}

void RunOverview::start()
{
    m_running = true;
    m_done = m_failed = m_skipped = 0;
    m_left = {};
    m_bytes = m_sampledBytes = 0;
    m_sampledMs = m_elapsedMs = 0;
    m_speed = 0;
    m_sampled = false;
}

void RunOverview::rowEnded(RowState state)
{
    switch (state) {
    case RowState::Saved: ++m_done; break;
    case RowState::Failed:
    case RowState::PageFailed: ++m_failed; break;
    case RowState::Skipped: ++m_skipped; break;
    case RowState::Idle:
    case RowState::Ready:
    case RowState::Downloading:
    case RowState::RetryWaiting: break;
    }
}

void RunOverview::sample(qint64 elapsedMs, const Left &left)
{
    m_left = left;
    m_elapsedMs = elapsedMs;
    const qint64 interval = elapsedMs - m_sampledMs;
    if (interval > 0) {
        const double current = double(m_bytes - m_sampledBytes) * 1000.0 / double(interval);
        // A sample over a longer or shorter time than a second weighs as much more or less.
        const double weight = m_sampled ? 1.0 - std::pow(1.0 - SampleWeight, double(interval) / SampleMs) : 1.0;
        m_speed += weight * (current - m_speed);
        m_sampled = true;
        m_sampledBytes = m_bytes;
        m_sampledMs = elapsedMs;
    }
    emit changed();
}

void RunOverview::end(qint64 elapsedMs, const Left &left)
{
    m_running = false;
    m_left = left;
    m_elapsedMs = elapsedMs;
    emit changed();
}

qint64 RunOverview::secondsLeft() const
{
    if (!m_running)
        return -1;
    if (m_left.rows == 0)
        return 0;
    if (m_left.bytesKnown && m_speed >= 1.0)
        return qint64(std::ceil(double(m_left.bytes) / m_speed));
    if (ended() > 0 && m_elapsedMs > 0)
        return qint64(std::ceil(double(m_left.rows) * double(m_elapsedMs) / ended() / 1000.0));
    return -1;
}

QString RunOverview::text() const
{
    QString text = RowTexts::runCounts(m_done, m_failed, m_skipped, m_left.rows);
    if (m_running && m_sampled)
        text += u"  "_s + RowTexts::speed(m_speed);
    if (const qint64 seconds = secondsLeft(); seconds >= 0)
        text += u"  "_s + RowTexts::timeLeft(seconds);
    return text;
}
