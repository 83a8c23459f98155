#pragma once
// The TCP session between a client and the server. Each direction is a sequence of frames:
// a 10-byte header (magic AA 55, total length, command) and the command's payload. The INIT
// handshake admits a client; USER frames then carry one application packet each. All fields
// are little-endian and unaligned. Both ends frame with the same loop (SessionFraming.h).

#include <cstdint>

enum ESESSION_CMD : uint32_t {
    CMD_UNKNOWN_CMD = 1, ///< server -> client: answer to a command the server does not know
    CMD_INIT = 6,        ///< client -> server: the INIT request
    CMD_INIT_ANSWER = 7, ///< server -> client: the INIT answer
    CMD_USER = 8,        ///< both: one application packet
};

struct CSessionHeader {
    static constexpr uint16_t kMagic = 0x55AA;
    static constexpr uint32_t kSize = 10;
    /// Longest frame either end accepts; no frame of this protocol comes near it.
    static constexpr uint32_t kMaxLength = 1u << 20;
    /// Longest payload a frame can carry; both ends refuse to send more.
    static constexpr uint32_t kMaxPayload = kMaxLength - kSize;

    uint16_t nMagic = kMagic;
    uint32_t nLength = 0; ///< total frame length, header included
    uint32_t nCommand = 0;

    /// The header at the front of `data`, which holds at least kSize bytes.
    static CSessionHeader Read(const uint8_t* data);
    /// Writes the header of a frame of `length` bytes in all.
    static void Write(uint8_t* data, uint32_t length, uint32_t command);
};

inline constexpr uint16_t kSessionProtocolVersion = 0x0101;
/// The only client kind of this system; the server expects it.
inline constexpr uint16_t kSessionClientKind = 1;
/// The protocol's identity, held by both programs.
inline constexpr char kSessionSignature[] = "3A6E91C4-7B20-4d5f-A1E8-96C2D07B4E15";
/// Bytes of the signature field: zero-terminated text, zero-padded.
inline constexpr uint32_t kSessionSignatureField = 100;

/// INIT results: 0 admits; 1-3 and 10 are the server's own, 4-9 its connection handler's.
enum EINIT_RESULT : uint32_t {
    INIT_ADMITTED = 0,
    INIT_BAD_VERSION = 1,
    INIT_BAD_CLIENT_KIND = 2,
    INIT_BAD_SIGNATURE = 3,
    INIT_ENCRYPTION_DIFFERENT = 4,
    INIT_UNKNOWN_CLIENT_TYPE = 5,
    INIT_TOO_MANY_CLIENTS = 6,
    INIT_NO_MEM_ON_SERVER = 7,
    INIT_REFUSED = 8,
    INIT_FORBIDDEN_CLIENT = 9,
    INIT_NO_RECEIVER = 10, ///< admitted by the handler, but it gave no receiver
};

/// The network error code (EIOCPE_) that a client reports for an INIT result.
uint32_t InitResultToError(uint32_t result);

struct CSessionInitRequest {
    static constexpr uint32_t kPayloadSize = 120;
    static constexpr uint32_t kFrameSize = CSessionHeader::kSize + kPayloadSize;

    uint16_t nVersion = kSessionProtocolVersion;
    uint16_t nClientKind = kSessionClientKind;
    uint32_t nClientType = 0;
    char szSignature[kSessionSignatureField] = {}; ///< zero-padded; may lack its terminator
    uint32_t nCookie = 0;
    /// Low 48 bits: a MAC address, its first octet in bits 47-40.
    uint64_t nHardwareAddress = 0;

    /// The request this client sends: this protocol's version, kind and signature.
    static CSessionInitRequest ForThisProtocol();
    /// Reads a payload of at least kPayloadSize bytes.
    static CSessionInitRequest Read(const uint8_t* payload);
    /// Writes the whole kFrameSize-byte CMD_INIT frame.
    void WriteFrame(uint8_t* frame) const;
    /// Compares the signature with `expected` as zero-terminated texts over at most the field.
    bool SignatureEquals(const char* expected) const;
};

struct CSessionInitAnswer {
    static constexpr uint32_t kPayloadSize = 12;
    static constexpr uint32_t kFrameSize = CSessionHeader::kSize + kPayloadSize;

    uint32_t nResult = INIT_ADMITTED;
    uint16_t nVersion = kSessionProtocolVersion;
    uint16_t nClientKind = kSessionClientKind; ///< the server's expected kind
    uint32_t nCookie = 0;                      ///< copied from the request

    /// Reads a payload of at least kPayloadSize bytes.
    static CSessionInitAnswer Read(const uint8_t* payload);
    /// Writes the whole kFrameSize-byte CMD_INIT_ANSWER frame.
    void WriteFrame(uint8_t* frame) const;
};
