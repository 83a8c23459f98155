#pragma once
// The framing loop that both ends run over their receive archive after every append, and the
// one way to queue a frame into a send archive.

#include "net/common/SessionProtocol.h"
#include "Subsidiary/NETArchive.h"

#include <cstdint>
#include <string>

enum class EFraming {
    NeedMore, ///< every complete frame was handled; the rest waits for more bytes
    Closed,   ///< the handler asked to close the connection
    Broken,   ///< bad magic, or a length field below the header or above the bound
};

/// Hands each complete frame (header included) at the front of the archive to
/// `handler(const uint8_t* frame, uint32_t length) -> bool` and removes it; the handler
/// returns false to close the connection. The length is checked before the magic, so a frame
/// with a plausible length waits for its bytes; a length below 10 or above
/// CSessionHeader::kMaxLength is broken as soon as the header is held. A broken stream leaves
/// its bytes in place for the log line (DescribeFrameStart). The handler must not append to
/// the archive it is handed frames from.
template <class Handler>
EFraming RunFramingLoop(CNETArchive& archive, Handler&& handler)
{
    for (;;) {
        if (archive.GetCount() < CSessionHeader::kSize)
            return EFraming::NeedMore;
        const CSessionHeader header = CSessionHeader::Read(archive.GetData());
        if (header.nLength < CSessionHeader::kSize || header.nLength > CSessionHeader::kMaxLength)
            return EFraming::Broken;
        if (archive.GetCount() < header.nLength)
            return EFraming::NeedMore;
        if (header.nMagic != CSessionHeader::kMagic)
            return EFraming::Broken;
        const bool keep = handler(static_cast<const uint8_t*>(archive.GetData()), header.nLength);
        archive.Consume(header.nLength);
        if (!keep)
            return EFraming::Closed;
    }
}

/// "[ AA 55 16 ... ]": each of the first bytes held (at most 30) as two upper-case hex digits
/// and a space, between "[ " and "]".
std::string DescribeFrameStart(const uint8_t* data, uint32_t count);

/// Appends one frame: the header (length = payload + 10) and the payload. False, with the
/// archive unchanged, when it cannot grow.
bool AppendFrame(CNETArchive& archive, uint32_t command, const void* payload, uint32_t length);
