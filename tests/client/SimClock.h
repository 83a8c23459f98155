#pragma once
// Simulated time for the stream simulation: actions run in the order of their time, those
// due at the same moment in the order they were scheduled, so that one seed always replays
// the same history.

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

class CSimClock {
public:
    using CAction = std::function<void()>;

    /// Microseconds since the simulation began.
    uint64_t Now() const { return m_nNow; }
    uint64_t NowMs() const { return m_nNow / 1000; }

    void At(uint64_t when, CAction action) { m_Queue.push({when < m_nNow ? m_nNow : when, m_nOrder++, std::move(action)}); }
    void After(uint64_t delay, CAction action) { At(m_nNow + delay, std::move(action)); }

    /// Runs every action due up to `end`, including those the actions schedule, then stands at `end`.
    void RunUntil(uint64_t end)
    {
        while (!m_Queue.empty() && m_Queue.top().nWhen <= end) {
            SEvent event = m_Queue.top();
            m_Queue.pop();
            m_nNow = event.nWhen;
            event.action();
        }
        m_nNow = end;
    }

private:
    struct SEvent {
        uint64_t nWhen;
        uint64_t nOrder;
        CAction action;
        bool operator>(const SEvent& other) const
        {
            return nWhen != other.nWhen ? nWhen > other.nWhen : nOrder > other.nOrder;
        }
    };

    uint64_t m_nNow = 0;
    uint64_t m_nOrder = 0;
    std::priority_queue<SEvent, std::vector<SEvent>, std::greater<>> m_Queue;
};
