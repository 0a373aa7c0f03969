// Parsing and comparing interpreter version texts, kept free of Python.h
// so that the logic can be tested on its own with any version text.
#pragma once

namespace factbrief::runtime {

// Packs "3.10.13+..." as 0x030A0D00: up to four dot-separated decimal
// components, one byte each (a component above 255 reads as 255, so it can
// never spill into its neighbour and fake a match).
inline unsigned long parse_version(const char* text) noexcept
{
    unsigned long packed = 0;
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        unsigned long part = 0;
        while (*p >= '0' && *p <= '9') {
            part = part * 10 + static_cast<unsigned long>(*p - '0');
            if (part > 255) part = 256;  // saturate; clamped below
            ++p;
        }
        packed |= (part > 255 ? 255 : part) << (24 - 8 * i);
        if (*p != '.') break;
        ++p;
    }
    return packed;
}

// Only major and minor decide binary compatibility.
inline bool same_major_minor(unsigned long a, unsigned long b) noexcept
{
    return (a & 0xFFFF0000UL) == (b & 0xFFFF0000UL);
}

inline int version_major(unsigned long packed) noexcept
{
    return static_cast<int>((packed >> 24) & 0xFF);
}

inline int version_minor(unsigned long packed) noexcept
{
    return static_cast<int>((packed >> 16) & 0xFF);
}

}  // namespace factbrief::runtime
