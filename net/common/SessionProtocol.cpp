#include "net/common/SessionProtocol.h"

#include "Subsidiary/LittleEndian.h"
#include "Subsidiary/NetErrors.h"

#include <cstring>

CSessionHeader CSessionHeader::Read(const uint8_t* data)
{
    CSessionHeader header;
    header.nMagic = LoadU16LE(data);
    header.nLength = LoadU32LE(data + 2);
    header.nCommand = LoadU32LE(data + 6);
    return header;
}

void CSessionHeader::Write(uint8_t* data, uint32_t length, uint32_t command)
{
    StoreU16LE(data, kMagic);
    StoreU32LE(data + 2, length);
    StoreU32LE(data + 6, command);
}

uint32_t InitResultToError(uint32_t result)
{
    switch (result) {
    case INIT_ADMITTED: return EIOCPE_SUCCESS;
    case INIT_BAD_VERSION:
    case INIT_BAD_CLIENT_KIND: return EIOCPE_PROTO_VERSION_ERR;
    case INIT_BAD_SIGNATURE: return EIOCPE_SIGNATURE_DIFF;
    case INIT_ENCRYPTION_DIFFERENT: return EIOCPE_ENCRYPTION_DIFFERENT;
    case INIT_UNKNOWN_CLIENT_TYPE: return EIOCPE_UNK_CLIENT_TYPE;
    case INIT_TOO_MANY_CLIENTS: return EIOCPE_TOO_MANY_CLIENTS_ERR;
    case INIT_NO_MEM_ON_SERVER: return EIOCPE_NO_MEM_ON_SRV;
    case INIT_REFUSED: return EIOCPE_ECONNREFUSED;
    case INIT_FORBIDDEN_CLIENT: return EIOCPE_FORBIDDEN_CLIENT;
    default: return EIOCPE_FAIL; // 10 and any value a handler may invent
    }
}

CSessionInitRequest CSessionInitRequest::ForThisProtocol()
{
    CSessionInitRequest request;
    std::memcpy(request.szSignature, kSessionSignature, sizeof kSessionSignature);
    return request;
}

CSessionInitRequest CSessionInitRequest::Read(const uint8_t* payload)
{
    CSessionInitRequest request;
    request.nVersion = LoadU16LE(payload);
    request.nClientKind = LoadU16LE(payload + 2);
    request.nClientType = LoadU32LE(payload + 4);
    std::memcpy(request.szSignature, payload + 8, kSessionSignatureField);
    request.nCookie = LoadU32LE(payload + 108);
    request.nHardwareAddress = LoadU64LE(payload + 112);
    return request;
}

void CSessionInitRequest::WriteFrame(uint8_t* frame) const
{
    CSessionHeader::Write(frame, kFrameSize, CMD_INIT);
    uint8_t* payload = frame + CSessionHeader::kSize;
    StoreU16LE(payload, nVersion);
    StoreU16LE(payload + 2, nClientKind);
    StoreU32LE(payload + 4, nClientType);
    std::memcpy(payload + 8, szSignature, kSessionSignatureField);
    StoreU32LE(payload + 108, nCookie);
    StoreU64LE(payload + 112, nHardwareAddress);
}

bool CSessionInitRequest::SignatureEquals(const char* expected) const
{
    return std::strncmp(szSignature, expected, kSessionSignatureField) == 0;
}

CSessionInitAnswer CSessionInitAnswer::Read(const uint8_t* payload)
{
    CSessionInitAnswer answer;
    answer.nResult = LoadU32LE(payload);
    answer.nVersion = LoadU16LE(payload + 4);
    answer.nClientKind = LoadU16LE(payload + 6);
    answer.nCookie = LoadU32LE(payload + 8);
    return answer;
}

void CSessionInitAnswer::WriteFrame(uint8_t* frame) const
{
    CSessionHeader::Write(frame, kFrameSize, CMD_INIT_ANSWER);
    uint8_t* payload = frame + CSessionHeader::kSize;
    StoreU32LE(payload, nResult);
    StoreU16LE(payload + 4, nVersion);
    StoreU16LE(payload + 6, nClientKind);
    StoreU32LE(payload + 8, nCookie);
}
