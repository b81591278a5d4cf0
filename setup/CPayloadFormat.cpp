#include "CPayloadFormat.h"

#include <cstring>

namespace {
// "PAYLOADEND" 0xFF 0xFF, each byte XORed with kMask.
constexpr unsigned char kMask = 0x5A;
constexpr unsigned char kMaskedTrailer[12] = {'P' ^ kMask, 'A' ^ kMask, 'Y' ^ kMask,  'L' ^ kMask,
                                              'O' ^ kMask, 'A' ^ kMask, 'D' ^ kMask,  'E' ^ kMask,
                                              'N' ^ kMask, 'D' ^ kMask, 0xFF ^ kMask, 0xFF ^ kMask};
// volatile so the compiler cannot fold the unmasked bytes back into the image.
volatile unsigned char gMask = kMask;
} // namespace

std::array<unsigned char, 12> CPayloadFormat::Trailer()
{
    std::array<unsigned char, 12> out{};
    const unsigned char mask = gMask;
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = kMaskedTrailer[i] ^ mask;
    return out;
}

bool CPayloadFormat::IsMarkerAt(const unsigned char* p)
{
    const unsigned char mask = gMask;
    for (std::size_t i = 0; i < kMarkerSize; ++i)
        if (p[i] != static_cast<unsigned char>(kMaskedTrailer[i] ^ mask))
            return false;
    return true;
}

void CPayloadFormat::PutU32(unsigned char* p, std::uint32_t value)
{
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

std::uint32_t CPayloadFormat::GetU32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::array<unsigned char, CPayloadFormat::kFooterSize> CPayloadFormat::EncodeFooter(const Footer& footer)
{
    std::array<unsigned char, kFooterSize> out{};
    PutU32(&out[0], footer.entryCount);
    PutU32(&out[4], footer.version);
    PutU32(&out[8], footer.footerOffset);
    PutU32(&out[12], footer.tableOffset);
    PutU32(&out[16], footer.payloadOffset);
    PutU32(&out[20], footer.flags);
    const auto trailer = Trailer();
    std::memcpy(&out[kMarkerOffset], trailer.data(), trailer.size());
    return out;
}

CPayloadFormat::Footer CPayloadFormat::DecodeFooter(const unsigned char* bytes)
{
    Footer f;
    f.entryCount = GetU32(bytes + 0);
    f.version = GetU32(bytes + 4);
    f.footerOffset = GetU32(bytes + 8);
    f.tableOffset = GetU32(bytes + 12);
    f.payloadOffset = GetU32(bytes + 16);
    f.flags = GetU32(bytes + 20);
    return f;
}

bool CPayloadFormat::HasTrailer(const unsigned char* footerBytes)
{
    return IsMarkerAt(footerBytes + kMarkerOffset) && footerBytes[34] == 0xFF && footerBytes[35] == 0xFF;
}

std::array<unsigned char, CPayloadFormat::kEntryHeadSize>
CPayloadFormat::EncodeEntryHead(const EntryHead& head)
{
    std::array<unsigned char, kEntryHeadSize> out{};
    PutU32(&out[0], head.type);
    PutU32(&out[4], head.size);
    PutU32(&out[8], head.offset);
    PutU32(&out[12], head.nameLength);
    return out;
}

CPayloadFormat::EntryHead CPayloadFormat::DecodeEntryHead(const unsigned char* bytes)
{
    EntryHead h;
    h.type = GetU32(bytes + 0);
    h.size = GetU32(bytes + 4);
    h.offset = GetU32(bytes + 8);
    h.nameLength = GetU32(bytes + 12);
    return h;
}

bool CPayloadFormat::IsSafeName(const std::string& name)
{
    if (name.empty() || name.size() > kMaxNameLength)
        return false;
    if (name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == '\0')
            return false;
    return true;
}
