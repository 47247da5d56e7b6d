#pragma once

#include <QtGlobal>

// What a run may still receive under its speed limit: a budget refilled at the limit and holding
// at most a quarter of a second's worth, so that a quiet moment buys no burst afterwards. Bytes
// already received are always counted, even past the budget: the debt is paid by waiting.
class SpeedBudget
{
public:
    // The limit in bytes/s, 0 for none; a new limit starts from an empty budget at nowUs.
    void setLimit(qint64 bytesPerSecond, qint64 nowUs);
    qint64 limit() const { return m_limit; }
    // Counts bytes received at nowUs; returns the milliseconds to receive nothing more, 0 to go on.
    qint64 spend(qint64 bytes, qint64 nowUs);
    // The wait still due at nowUs, in milliseconds.
    qint64 waitMs(qint64 nowUs);

private:
    void refill(qint64 nowUs);

    qint64 m_limit = 0;
    double m_balance = 0; // bytes; below zero a debt
    qint64 m_lastUs = 0;
};
