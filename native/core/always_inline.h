// VT_ALWAYS_INLINE: for the few small helpers that every hot path goes
// through (an attribute site's read, a result check). Left to itself the
// compiler inlines them in some callers and not in others, and the choice
// flips with unrelated edits to the caller, changing the cost of calls
// whose work did not change.
#pragma once

#if defined(_MSC_VER)
#define VT_ALWAYS_INLINE __forceinline
#else
#define VT_ALWAYS_INLINE inline __attribute__((always_inline))
#endif
