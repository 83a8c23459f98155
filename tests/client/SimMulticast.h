#pragma once
// The simulated multicast path from the server to one client: it loses datagrams one by one
// and in bursts, duplicates them, and delays each by its own amount, which reorders those
// sent close together. Healing ends the losses; what is already on its way keeps its fate.

#include "SimClock.h"

#include <cstdint>
#include <functional>
#include <random>
#include <vector>

using CBytes = std::vector<uint8_t>;

struct SSimNetworkParams {
    double dLoss = 0;           ///< of each datagram
    double dBurstStart = 0;     ///< of a burst starting at a datagram
    uint32_t nBurstMax = 0;     ///< datagrams lost in a row by one burst, at most
    double dDuplicate = 0;      ///< of a datagram arriving twice
    uint64_t nDelayUs = 0;      ///< the shortest way through
    uint64_t nJitterUs = 0;     ///< added at random to each datagram's delay

    template <class Random>
    static SSimNetworkParams Draw(Random& random)
    {
        std::uniform_real_distribution<double> unit(0, 1);
        SSimNetworkParams params;
        params.dLoss = unit(random) < 0.2 ? 0 : 0.6 * unit(random);
        params.dBurstStart = unit(random) < 0.5 ? 0.004 * unit(random) : 0;
        params.nBurstMax = 1 + static_cast<uint32_t>(999 * unit(random));
        params.dDuplicate = unit(random) < 0.3 ? 0.1 * unit(random) : 0;
        params.nDelayUs = 50 + static_cast<uint64_t>(2000 * unit(random));
        params.nJitterUs = unit(random) < 0.5 ? static_cast<uint64_t>(20000 * unit(random)) : 0;
        return params;
    }
};

class CSimMulticast {
public:
    using CDeliver = std::function<void(const CBytes&)>;

    CSimMulticast(CSimClock& clock, std::mt19937_64& random, const SSimNetworkParams& params, CDeliver deliver)
        : m_Clock(clock), m_Random(random), m_Params(params), m_Deliver(std::move(deliver))
    {
    }

    void Send(const CBytes& datagram)
    {
        ++m_nSent;
        if (Drops())
            return;
        const int copies = Chance(m_Params.dDuplicate) ? 2 : 1;
        for (int copy = 0; copy < copies; ++copy)
            m_Clock.After(Delay(), [this, datagram] { m_Deliver(datagram); });
    }

    void Heal() { m_bHealed = true; }
    uint64_t Sent() const { return m_nSent; }
    uint64_t LostCount() const { return m_nLost; }

private:
    bool Drops()
    {
        if (m_bHealed)
            return false;
        if (m_nBurstLeft == 0 && Chance(m_Params.dBurstStart))
            m_nBurstLeft = std::uniform_int_distribution<uint32_t>(1, m_Params.nBurstMax)(m_Random);
        const bool lost = m_nBurstLeft > 0 || Chance(m_Params.dLoss);
        if (m_nBurstLeft > 0)
            --m_nBurstLeft;
        m_nLost += lost;
        return lost;
    }
    bool Chance(double p) { return p > 0 && std::uniform_real_distribution<double>(0, 1)(m_Random) < p; }
    uint64_t Delay()
    {
        if (m_Params.nJitterUs == 0)
            return m_Params.nDelayUs;
        return m_Params.nDelayUs + std::uniform_int_distribution<uint64_t>(0, m_Params.nJitterUs)(m_Random);
    }

    CSimClock& m_Clock;
    std::mt19937_64& m_Random;
    SSimNetworkParams m_Params;
    CDeliver m_Deliver;
    bool m_bHealed = false;
    uint32_t m_nBurstLeft = 0;
    uint64_t m_nSent = 0;
    uint64_t m_nLost = 0;
};
