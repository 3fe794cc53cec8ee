#include "stmt/rowbuf.h"

#include <cstdio>
#include <cstring>

#include "memory.h"

namespace orv {

namespace {
// A fixed 32-byte name field as text: up to its first zero byte.
std::string_view field_text(const char* field, std::size_t n) {
    return std::string_view(field, strnlen(field, n));
}
}  // namespace

bool resize_row_buffer(ConnectionSlot& slot, std::size_t size) {
    auto* grown = static_cast<uint8_t*>(orv_realloc(slot.row_buffer, size));
    if (grown == nullptr) return false;
    slot.row_buffer = grown;
    slot.row_buffer_size = size;
    return true;
}

std::string_view fetch_column_name(ColumnDesc& rec, bool alt, int* counter) {
    char* field = alt ? rec.alt_name : rec.name;
    if (field[0] == 0) {
        char generated[sizeof rec.name + 1];
        std::snprintf(generated, sizeof generated, "expr-%d", ++*counter);
        std::memset(field, 0, sizeof rec.name);
        std::memcpy(field, generated, std::strlen(generated));
    }
    return field_text(field, sizeof rec.name);
}

std::string_view fetch_table_name(const ColumnDesc& rec, bool alt) {
    return alt ? field_text(rec.alt_table, sizeof rec.alt_table)
               : field_text(rec.table, sizeof rec.table);
}

}  // namespace orv
