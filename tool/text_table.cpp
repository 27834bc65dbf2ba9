#include "text_table.h"

#include <algorithm>
#include <numeric>

namespace plchost {

namespace {

// The first `columns` display columns of text.
std::string leftColumns(const std::string& text, int columns) {
    size_t i = 0;
    for (int seen = 0; i < text.size(); ++i) {
        if ((uint8_t(text[i]) & 0xC0) != 0x80 && seen++ == columns) break;
    }
    return text.substr(0, i);
}

std::string pad(const std::string& text, int width, bool right) {
    const std::string blanks(size_t(std::max(0, width - displayWidth(text))), ' ');
    return right ? blanks + text : text + blanks;
}

std::string rtrim(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

}  // namespace

int displayWidth(const std::string& text) {
    return int(std::count_if(text.begin(), text.end(),
                             [](char c) { return (uint8_t(c) & 0xC0) != 0x80; }));
}

std::vector<std::string> wrapWords(const std::string& text, int width) {
    return wrapWords(text, width, width);
}

std::vector<std::string> wrapWords(const std::string& text, int firstWidth, int restWidth) {
    std::vector<std::string> lines;
    auto widthNow = [&] { return std::max(1, lines.empty() ? firstWidth : restWidth); };
    std::string line;
    size_t pos = 0;
    while (pos < text.size()) {
        // The blanks before a word are kept when it joins the line.
        const size_t start = std::min(text.find_first_not_of(' ', pos), text.size());
        if (start == text.size()) break;
        const std::string gap = text.substr(pos, start - pos);
        const size_t end = std::min(text.find(' ', start), text.size());
        std::string word = text.substr(start, end - start);
        pos = end;
        if (!line.empty() &&
            displayWidth(line) + std::max<int>(1, int(gap.size())) + displayWidth(word) <=
                widthNow()) {
            line += (gap.empty() ? " " : gap) + word;
            continue;
        }
        if (!line.empty()) lines.push_back(line);
        // A word wider than the whole line is broken; callers size columns so
        // that this never happens to a number.
        while (displayWidth(word) > widthNow()) {
            const std::string head = leftColumns(word, widthNow());
            lines.push_back(head);
            word = word.substr(head.size());
        }
        line = word;
    }
    if (!line.empty() || lines.empty()) lines.push_back(line);
    return lines;
}

std::string wrapParagraph(const std::string& text, int width, int indent, int hanging) {
    // Groups (runs of text between double blanks) stay together when they fit.
    std::vector<std::string> groups;
    for (size_t pos = 0; pos < text.size();) {
        const size_t start = std::min(text.find_first_not_of(' ', pos), text.size());
        if (start == text.size()) break;
        const size_t end = std::min(text.find("  ", start), text.size());
        groups.push_back(text.substr(start, end - start));
        pos = end;
    }
    std::vector<std::string> lines;
    auto room = [&] { return std::max(1, width - (lines.empty() ? indent : hanging)); };
    std::string line;
    for (const std::string& g : groups) {
        if (!line.empty() && displayWidth(line) + 2 + displayWidth(g) <= room()) {
            line += "  " + g;
            continue;
        }
        if (!line.empty()) lines.push_back(line);
        line.clear();
        for (const std::string& part : wrapWords(g, room(), width - hanging)) {
            if (!line.empty()) lines.push_back(line);
            line = part;
        }
    }
    if (!line.empty() || lines.empty()) lines.push_back(line);
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i)
        out += std::string(size_t(i == 0 ? indent : hanging), ' ') + lines[i] + "\n";
    return out;
}

std::string renderTable(const std::vector<Column>& columns,
                        const std::vector<std::vector<std::string>>& rows, int width) {
    const size_t n = columns.size();
    std::vector<int> w(n);
    for (size_t c = 0; c < n; ++c) {
        int natural = displayWidth(columns[c].header);
        for (const auto& row : rows)
            if (c < row.size()) natural = std::max(natural, displayWidth(row[c]));
        if (columns[c].wraps && columns[c].maxWidth > 0)
            natural = std::min(natural, columns[c].maxWidth);
        w[c] = std::max(natural, columns[c].minWidth);
    }
    // One leading blank and one between columns.
    auto total = [&] { return int(n) + std::accumulate(w.begin(), w.end(), 0); };
    const auto flex =
        std::find_if(columns.begin(), columns.end(), [](const Column& c) { return c.flexible; });
    if (flex != columns.end()) {
        const size_t f = size_t(flex - columns.begin());
        w[f] = std::max(columns[f].minWidth, width - (total() - w[f]));
    }
    // Still too wide: narrow the widest wrapping columns.
    while (total() > width) {
        size_t widest = n;
        for (size_t c = 0; c < n; ++c)
            if (columns[c].wraps && w[c] > columns[c].minWidth && (widest == n || w[c] > w[widest]))
                widest = c;
        if (widest == n) break;
        --w[widest];
    }

    std::string out;
    auto emit = [&](const std::vector<std::string>& cells) {
        std::vector<std::vector<std::string>> wrapped(n);
        size_t height = 1;
        for (size_t c = 0; c < n; ++c) {
            wrapped[c] = wrapWords(c < cells.size() ? cells[c] : std::string(), w[c]);
            height = std::max(height, wrapped[c].size());
        }
        for (size_t line = 0; line < height; ++line) {
            std::string text;
            for (size_t c = 0; c < n; ++c) {
                const std::string cell = line < wrapped[c].size() ? wrapped[c][line] : "";
                text += " " + pad(cell, w[c], columns[c].alignRight);
            }
            out += rtrim(text) + "\n";
        }
    };
    std::vector<std::string> header;
    for (const Column& c : columns) header.push_back(c.header);
    emit(header);
    out += " " + std::string(size_t(total() - 1), '-') + "\n";
    for (const auto& row : rows) emit(row);
    return out;
}

}  // namespace plchost
