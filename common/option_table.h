// The option table of a command-line tool: each row gives an option's names,
// its value, its help text and what it does. The rows feed Qt's
// QCommandLineParser, which also writes --help, and are applied from it.
#ifndef PLC_COMMON_OPTION_TABLE_H
#define PLC_COMMON_OPTION_TABLE_H

#include <QtCore/QCommandLineParser>
#include <QtCore/QStringList>
#include <cstddef>
#include <string>

namespace plc::cli {

// `names` is comma-separated, without dashes: "a", "f,project".
QStringList optionNames(const char* names);
// How the user types the option's first name: "-c" or "--write".
std::string optionLabel(const char* names);

// Adds every row of `table` (rows with names, valueName - null for a switch -
// and description) to `parser`.
template <class Row, std::size_t N>
void addOptions(QCommandLineParser& parser, const Row (&table)[N]) {
    for (const Row& row : table)
        parser.addOption(QCommandLineOption(optionNames(row.names), row.description,
                                            row.valueName ? row.valueName : QString()));
}

// Calls apply(value, &why) once for every value given for `row` (once with
// an empty value for a switch that was given). The first refusal ends it,
// with "LABEL: why" in `error`.
template <class Row, class Apply>
bool applyOption(const QCommandLineParser& parser, const Row& row, Apply&& apply,
                 std::string* error) {
    const QString name = optionNames(row.names).front();
    if (!parser.isSet(name)) return true;
    const QStringList values = row.valueName ? parser.values(name) : QStringList{QString()};
    for (const QString& value : values) {
        std::string why;
        if (!apply(value.toStdString(), &why)) {
            *error = optionLabel(row.names) + ": " + why;
            return false;
        }
    }
    return true;
}

}  // namespace plc::cli

#endif  // PLC_COMMON_OPTION_TABLE_H
