// An installer's Authenticode signature, as the unpacker sees it: where
// the certificate table lies, whether it ends the file, and what in it is
// neither signature nor padding.
#include "tools/mksetup/installer.h"

namespace mksetup {

// The length of the DER value at p (tag, length, contents), 0 if it is no
// well-formed definite length within n bytes.
static uint64_t DerLength(const uint8_t* p, uint64_t n)
{
    if (n < 2)
        return 0;
    uint64_t header = 2, length = p[1];
    if (length & 0x80) {
        uint32_t bytes = length & 0x7F;
        if (bytes == 0 || bytes > 4 || n < 2 + bytes)
            return 0;
        length = 0;
        for (uint32_t i = 0; i < bytes; ++i)
            length = length << 8 | p[2 + i];
        header += bytes;
    }
    return header + length <= n ? header + length : 0;
}

// The table's WIN_CERTIFICATE entries, each 8-byte aligned: dwLength (with
// its 8-byte header), wRevision, wCertificateType, then for type 2
// (PKCS_SIGNED_DATA) one DER SignedData blob.
static uint64_t CertificateSlack(const uint8_t* table, uint64_t size)
{
    auto align = [](uint64_t n) { return (n + 7) & ~(uint64_t)7; };
    uint64_t slack = 0, at = 0;
    while (size - at >= 8) {
        const uint8_t* entry = table + at;
        uint64_t length = (uint32_t)(entry[0] | entry[1] << 8 | entry[2] << 16 | (uint32_t)entry[3] << 24);
        uint32_t type = entry[6] | entry[7] << 8;
        if (length < 8 || length > size - at)
            break;
        uint64_t blob = type == 2 ? DerLength(entry + 8, length - 8) : 0;
        uint64_t used = blob ? align(8 + blob) : 0;
        uint64_t taken = std::min(align(length), size - at);
        slack += taken - std::min(used, taken);
        at += taken;
    }
    return slack + (size - at);
}

PeSignature FindSignature(const uint8_t* data, uint64_t size)
{
    PeSignature signature;
    uint32_t length = (uint32_t)std::min<uint64_t>(size, 0xFFFFFFFFu);
    signature.payloadEnd = length;
    CertificateTable table;
    if (!ReadCertificateTable(data, length, &table))
        return signature;
    signature.present = true;
    signature.offset = table.offset;
    signature.size = table.size;
    signature.inPlace = size == length && FindPayloadBearingEnd(data, length, length, &signature.payloadEnd);
    if (signature.inPlace)
        signature.slack = CertificateSlack(data + table.offset, table.size);
    return signature;
}

}  // namespace mksetup
