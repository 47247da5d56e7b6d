#include "engine/SpeedBudget.h"

#include <algorithm>
#include <cmath>

void SpeedBudget::setLimit(qint64 bytesPerSecond, qint64 nowUs)
{
    m_limit = std::max<qint64>(bytesPerSecond, 0);
    m_balance = 0;
    m_lastUs = nowUs;
}

void SpeedBudget::refill(qint64 nowUs)
{
    if (nowUs > m_lastUs) {
        m_balance = std::min(m_balance + double(m_limit) * double(nowUs - m_lastUs) / 1e6, double(m_limit) / 4);
        m_lastUs = nowUs;
    }
}

qint64 SpeedBudget::spend(qint64 bytes, qint64 nowUs)
{
    if (m_limit == 0)
        return 0;
    refill(nowUs);
    m_balance -= double(bytes);
    return waitMs(nowUs);
}

qint64 SpeedBudget::waitMs(qint64 nowUs)
{
    if (m_limit == 0)
        return 0;
    refill(nowUs);
    return m_balance >= 0 ? 0 : qint64(std::ceil(-m_balance * 1000 / double(m_limit)));
}
