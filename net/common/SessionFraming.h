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

/// Hands each complete frame (header included) held in the archive to
/// `handler(const uint8_t* frame, uint32_t length) -> bool`, oldest first; the handler returns
/// false to close the connection. The length is checked before the magic, so a frame with a
/// plausible length waits for its bytes; a length below 10 or above CSessionHeader::kMaxLength
/// is broken as soon as the header is held. The frames handled leave the archive together at
/// the end, so a read full of small frames costs one move of what is left, not one per frame.
/// A broken stream leaves its bytes at the front for the log line (DescribeFrameStart). The
/// handler must not change the archive it is handed frames from.
template <class Handler>
EFraming RunFramingLoop(CNETArchive& archive, Handler&& handler)
{
    uint32_t handled = 0; // bytes of the frames handled so far
    EFraming result = EFraming::NeedMore;
    for (;;) {
        const uint32_t held = archive.GetCount() - handled;
        if (held < CSessionHeader::kSize)
            break;
        const uint8_t* frame = archive.GetData() + handled;
        const CSessionHeader header = CSessionHeader::Read(frame);
        if (header.nLength < CSessionHeader::kSize || header.nLength > CSessionHeader::kMaxLength) {
            result = EFraming::Broken;
            break;
        }
        if (held < header.nLength)
            break;
        if (header.nMagic != CSessionHeader::kMagic) {
            result = EFraming::Broken;
            break;
        }
        const bool keep = handler(frame, header.nLength);
        handled += header.nLength;
        if (!keep) {
            result = EFraming::Closed;
            break;
        }
    }
    archive.Consume(handled);
    return result;
}

/// "[ AA 55 16 ... ]": each of the first bytes held (at most 30) as two upper-case hex digits
/// and a space, between "[ " and "]".
std::string DescribeFrameStart(const uint8_t* data, uint32_t count);

/// Appends one frame: the header (length = payload + 10) and the payload. False, with the
/// archive unchanged, when it cannot grow.
bool AppendFrame(CNETArchive& archive, uint32_t command, const void* payload, uint32_t length);
