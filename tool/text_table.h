// Plain-text layout for a terminal of a given width: word wrapping and
// tables whose cells wrap onto continuation lines. Numbers are never cut:
// a word is broken only when it is longer than its column, and the callers
// keep value columns at least as wide as the widest number (16 binary digits).
#ifndef PLCHOST_TEXT_TABLE_H
#define PLCHOST_TEXT_TABLE_H

#include <string>
#include <vector>

namespace plchost {

// Columns the text takes on a terminal: UTF-8 code points (the tool prints
// no double-width characters).
int displayWidth(const std::string& text);

// The words of text (split at blanks) in lines of at most width columns.
std::vector<std::string> wrapWords(const std::string& text, int width);
// The same with a first line of firstWidth columns and the others restWidth.
std::vector<std::string> wrapWords(const std::string& text, int firstWidth, int restWidth);

// text wrapped to width, the first line indented by `indent` blanks and the
// others by `hanging`; every line ends in '\n'. Runs separated by two blanks
// ("requests 87  good 87") are kept on one line when they fit.
std::string wrapParagraph(const std::string& text, int width, int indent, int hanging);

// A column is as wide as its widest cell. Only a wrapping column gets
// narrower (down to minWidth, or to maxWidth at once), its cells continuing
// on further lines; the flexible one takes what the others leave.
struct Column {
    std::string header;
    bool alignRight = false;
    bool wraps = false;
    int minWidth = 1;
    int maxWidth = 0;       // 0: no limit
    bool flexible = false;  // one column at most
};

// A header, a rule and the rows, one blank before the table and between
// columns, no line wider than width (when the columns' minimum widths allow).
std::string renderTable(const std::vector<Column>& columns,
                        const std::vector<std::vector<std::string>>& rows, int width);

}  // namespace plchost

#endif  // PLCHOST_TEXT_TABLE_H
