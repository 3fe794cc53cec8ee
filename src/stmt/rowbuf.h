// Pieces shared by the two fetch commands that build records in the slot's
// row buffer (the pairs layout of command 12 and the block of command 25).
#pragma once
#include <cstddef>
#include <string_view>

#include "conn/slots.h"
#include "dorevivezo.h"

namespace orv {

// Gives the slot's row buffer exactly `size` bytes, keeping its contents up
// to the smaller size.  Returns false, with the buffer left as it was, when
// the memory cannot be had.
bool resize_row_buffer(ConnectionSlot& slot, std::size_t size);

// The name under which column record `rec` is delivered: alt_name when
// `alt`, else name.  An empty name is first replaced in the record by
// "expr-N", N = ++*counter, so the generated name stays in the table.
std::string_view fetch_column_name(ColumnDesc& rec, bool alt, int* counter);

// The table name of the record: alt_table when `alt`, else table.
std::string_view fetch_table_name(const ColumnDesc& rec, bool alt);

}  // namespace orv
