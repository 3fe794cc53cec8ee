// Line input for builds without readline (a cross build for a target whose
// readline is not installed): the readline calls orvsh makes, reading plain
// lines from standard input (the terminal's own line editing only) and
// keeping the history file in readline's plain format, one line per entry.
#pragma once
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// Prints `prompt` and reads one line; returns it without its newline in
// memory the caller frees, or nullptr at the end of input.
inline char* readline(const char* prompt) {
    std::fputs(prompt, stdout);
    std::fflush(stdout);
    char* line = nullptr;
    std::size_t room = 0;
    ssize_t n = getline(&line, &room, stdin);
    if (n < 0) {
        std::free(line);
        return nullptr;
    }
    if (n > 0 && line[n - 1] == '\n') line[n - 1] = 0;
    return line;
}

// The session's history: the file's lines, then the lines added.
inline std::vector<std::string>& plain_history() {
    static std::vector<std::string> lines;
    return lines;
}

inline void using_history() {}

inline int read_history(const char* path) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        plain_history().push_back(line);
    return in.bad() ? 1 : 0;
}

inline void add_history(const char* line) { plain_history().push_back(line); }

inline int write_history(const char* path) {
    std::ofstream out(path, std::ios::trunc);
    for (const std::string& line : plain_history()) out << line << '\n';
    return out ? 0 : 1;
}

// Keeps the last `keep` entries of the file.
inline int history_truncate_file(const char* path, int keep) {
    std::vector<std::string>& lines = plain_history();
    if (keep >= 0 && lines.size() > static_cast<std::size_t>(keep))
        lines.erase(lines.begin(), lines.end() - keep);
    return write_history(path);
}
