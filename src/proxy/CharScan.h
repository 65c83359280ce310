#pragma once

#include <QtGlobal>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Searches over UTF-16 text, eight characters at a time. List lines are short, so the library's searches, built
// for long texts, spend more on each call than on the characters they look at.

// Where the first character at or after from that is at most limit lies, or size when none is.
inline qsizetype FindCharAtMost(const char16_t* chars, qsizetype from, qsizetype size, char16_t limit)
{
    qsizetype i = from;
#if defined(__SSE2__)
    const __m128i bound = _mm_set1_epi16(short(limit));
    const __m128i zero = _mm_setzero_si128();
    for (; i + 8 <= size; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i));
        // Unsigned subtraction that stops at 0 leaves 0 exactly for the characters at most limit.
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_subs_epu16(v, bound), zero));
        if (mask)
            return i + qCountTrailingZeroBits(uint(mask)) / 2;
    }
#endif
    for (; i < size; ++i) {
        if (chars[i] <= limit)
            return i;
    }
    return size;
}

// Where the first c at or after from lies, or size when there is none.
inline qsizetype FindChar(const char16_t* chars, qsizetype from, qsizetype size, char16_t c)
{
    qsizetype i = from;
#if defined(__SSE2__)
    const __m128i wanted = _mm_set1_epi16(short(c));
    for (; i + 8 <= size; i += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chars + i));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(v, wanted));
        if (mask)
            return i + qCountTrailingZeroBits(uint(mask)) / 2;
    }
#endif
    for (; i < size; ++i) {
        if (chars[i] == c)
            return i;
    }
    return size;
}
