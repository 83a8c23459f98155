#pragma once
// Turns the records of stream or snapshot packets into short readable lines, following
// property entries that continue from one packet into the next.

#include "net/common/QVNET_SeqPkt.h"
#include "store/ChangeRecords.h"
#include "Subsidiary/ByteReader.h"
#include "Subsidiary/UDPBuff.h"

#include <string>
#include <vector>

class CRecordDescriber {
public:
    /// The records of one packet's body, in order.
    std::vector<std::string> Describe(const CUDPBuff& packet)
    {
        CByteReader reader(packet.GetData() + QVNET_StreamHeader::kSize, packet.GetSize() - QVNET_StreamHeader::kSize);
        std::vector<std::string> lines;
        ReadEntries(reader, lines);
        while (!reader.AtEnd()) {
            lines.push_back(DescribeRecord(reader));
            ReadEntries(reader, lines);
        }
        return lines;
    }

    /// The records of several packets, in order.
    template <class Packets>
    std::vector<std::string> DescribeAll(const Packets& packets)
    {
        std::vector<std::string> lines;
        for (const auto& packet : packets)
            for (std::string& line : Describe(*packet))
                lines.push_back(std::move(line));
        return lines;
    }

private:
    static std::string N(uint64_t value) { return std::to_string(value); }

    std::string DescribeRecord(CByteReader& r)
    {
        switch (const uint8_t token = r.GetU8()) {
        case OREC_TYPE_DEF: {
            const uint16_t id = r.GetU16();
            return "TYPE_DEF " + N(id) + " " + r.GetString();
        }
        case OREC_PROP_DEF: {
            const uint64_t id = r.GetU64();
            return "PROP_DEF " + N(id) + " " + r.GetString();
        }
        case OREC_OBJ_CREATE: {
            const uint16_t type = r.GetU16();
            const uint64_t id = r.GetU64();
            m_nEntries = r.GetU8();
            return "OBJ_CREATE " + N(type) + " " + N(id) + " " + N(m_nEntries) + " " + r.GetString();
        }
        case OREC_PROP_ADD:
        case OREC_PROP_CHANGE: {
            const uint64_t object = r.GetU64();
            const uint64_t property = r.GetU64();
            return std::string(token == OREC_PROP_ADD ? "PROP_ADD " : "PROP_CHANGE ") + N(object) + " " +
                   N(property) + " " + r.GetString();
        }
        case OREC_FEED_COMPLETE:
            return "FEED " + N(r.GetU64());
        default:
            return "UNEXPECTED " + N(token);
        }
    }

    void ReadEntries(CByteReader& r, std::vector<std::string>& lines)
    {
        for (; m_nEntries > 0 && !r.AtEnd(); --m_nEntries) {
            const uint64_t id = r.GetU64();
            lines.push_back("ENTRY " + N(id) + " " + r.GetString());
        }
    }

    uint8_t m_nEntries = 0;
};
