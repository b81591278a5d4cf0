// Byte layout of the payload appended to the setup stub: the file table and the
// footer. All numbers are 32-bit little-endian. Shared by the stub, the packing
// tool and the tests, so that writer and reader cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class CPayloadFormat {
public:
    static constexpr std::size_t kFooterSize = 36;
    static constexpr std::size_t kEntryHeadSize = 16;
    static constexpr std::size_t kMarkerOffset = 24; // inside the footer
    static constexpr std::size_t kMarkerSize = 10;
    static constexpr std::uint32_t kVersion = 100;

    // Footer flags.
    static constexpr std::uint32_t kFlagNotEmbedded = 1u << 0;
    static constexpr std::uint32_t kFlagPrerequisites = 1u << 1;

    // Entry types.
    static constexpr std::uint32_t kTypeInstaller = 0;
    static constexpr std::uint32_t kTypePayload = 1;
    static constexpr std::uint32_t kTypePayloadOther = 2;
    static constexpr std::uint32_t kTypePrerequisites = 3;

    // Longest entry name accepted; longer ones are a damaged table, not a file name.
    static constexpr std::uint32_t kMaxNameLength = 255;

    struct Footer {
        std::uint32_t entryCount = 0;
        std::uint32_t version = kVersion;
        std::uint32_t footerOffset = 0;
        std::uint32_t tableOffset = 0;
        std::uint32_t payloadOffset = 0;
        std::uint32_t flags = 0;
    };

    struct EntryHead {
        std::uint32_t type = 0;
        std::uint32_t size = 0;
        std::uint32_t offset = 0;
        std::uint32_t nameLength = 0;
    };

    // The 12-byte trailer "PAYLOADEND" 0xFF 0xFF. Kept masked in the binary and
    // unmasked at run time, so the stub's own image never carries the marker and a
    // stub without payload is not mistaken for one with a damaged footer.
    static std::array<unsigned char, 12> Trailer();

    // True when the 10 marker bytes start at `p`.
    static bool IsMarkerAt(const unsigned char* p);

    static std::array<unsigned char, kFooterSize> EncodeFooter(const Footer& footer);
    static Footer DecodeFooter(const unsigned char* bytes);
    // True when the marker and the two 0xFF bytes sit where they belong.
    static bool HasTrailer(const unsigned char* footerBytes);

    static std::array<unsigned char, kEntryHeadSize> EncodeEntryHead(const EntryHead& head);
    static EntryHead DecodeEntryHead(const unsigned char* bytes);

    // A name that stays inside the destination folder: a single, non-empty path
    // component, neither "." nor "..", no separator ("/" or "\"), no NUL.
    static bool IsSafeName(const std::string& name);

    static void PutU32(unsigned char* p, std::uint32_t value);
    static std::uint32_t GetU32(const unsigned char* p);
};
