// The benchmark programs' options that take a text as it stands: a table
// of option names and the fields they set, and its one lookup.
#pragma once
#include <span>
#include <string>

template <class Options>
struct TextOption {
    const char* key;
    std::string Options::*field;
};

// The field of `o` that option `k` sets in `table`, or nullptr when no
// text option has that name.
template <class Options>
std::string* text_option(std::span<const TextOption<Options>> table, Options& o,
                         const std::string& k) {
    for (const TextOption<Options>& t : table)
        if (k == t.key) return &(o.*t.field);
    return nullptr;
}
