// Included first by every source file of broker_desk, before any other header.
//
// Extensions are built for size, which leaves reference counting and the
// small object helpers as out-of-line calls; record conversion runs them a
// few dozen times per record, and measures about a fifth slower that way.
// This module's code is small, so it is built for speed instead. Every
// function of a file, inline ones from headers included, must see the same
// setting (GCC does not inline across different ones): hence first.
#pragma once

// Only where the build optimizes (for size): debug builds stay as they are.
#if defined(__GNUC__) && !defined(__clang__) && defined(NDEBUG)
#pragma GCC optimize("O2")
#endif
