#include "option_table.h"

namespace plc::cli {

QStringList optionNames(const char* names) { return QString(names).split(','); }

std::string optionLabel(const char* names) {
    const QString first = optionNames(names).front();
    return (first.size() == 1 ? "-" : "--") + first.toStdString();
}

}  // namespace plc::cli
