#include "ts/TsReader.h"

namespace MPEG_TS {

unsigned int mpegCrc32(const unsigned char* data, std::size_t length) {
    unsigned int crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= static_cast<unsigned int>(data[i]) << 24;
        for (int b = 0; b < 8; ++b) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
    }
    return crc;
}

bool readSection(const unsigned char* p, const TsPacket& t, TsSection& s) {
    if (!t.unitStart || t.payload >= kPacketSize) return false;
    const unsigned int start = t.payload + 1 + p[t.payload];  // after the pointer field
    if (start + 3 > kPacketSize || (p[start + 1] & 0x80) == 0) return false;
    const unsigned int length = ((p[start + 1] & 0x0Fu) << 8) | p[start + 2];
    // Header after the length (5 bytes) and the CRC (4): nothing shorter.
    if (length < 9 || start + 3 + length > kPacketSize) return false;
    if (mpegCrc32(p + start, 3 + length) != 0) return false;
    s.tableId = p[start];
    s.body = p + start + 8;
    s.bodyLength = length - 9;
    return true;
}

}  // namespace MPEG_TS
