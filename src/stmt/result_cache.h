// Command 12's cache of what holds for every row of a slot's current
// result, so that it is worked out on the result's first row only.  The
// commands that change a result, its description or the slot's row buffer
// forget it: execute, describe, import of descriptions, reset, block
// fetch, and opening or closing the slot.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

#include "conn/slots.h"

namespace orv {

// Columns whose name lengths the cache keeps; the pairs layout measures
// the names of any further columns on every row.
inline constexpr int kCachedNameColumns = 64;

// What command 12 decides once for the rows of one result.
struct ResultCache {
    bool made = false;    // made for the slot's current result
    int32_t columns = 0;  // the result's column count, described
    // Columns 1..widths_fixed of the table have a width other than 0 (the
    // per-argument layout gives width 0 the text width as it delivers).
    int32_t widths_fixed = 0;
    // The pairs layout's part, made on its first row for `pairs_subcode`.
    bool pairs = false;
    int16_t pairs_subcode = 0;
    std::size_t pairs_start = 0;  // the record's first size
    // Bytes of the row buffer from which on every byte is zero, as the
    // last pairs record left it; row_buffer_size when not known.
    std::size_t pairs_clean_from = 0;
    uint8_t name_length[kCachedNameColumns] = {};
    uint8_t table_length[kCachedNameColumns] = {};
};

// One cache per slot of the slot table, in the same order.
inline std::array<ResultCache, kSlotCount> ResultCaches{};

// The cache of `slot`, a slot of the slot table.
inline ResultCache& result_cache(const ConnectionSlot& slot) {
    return ResultCaches[static_cast<std::size_t>(&slot - SlotTable.data())];
}

// Forgets the slot's cache: the next command 12 works it out afresh.
inline void forget_result(const ConnectionSlot& slot) {
    result_cache(slot) = ResultCache{};
}

}  // namespace orv
