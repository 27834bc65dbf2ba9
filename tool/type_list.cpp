#include "type_list.h"

#include "register_types.h"
#include "text_table.h"

namespace plchost {

namespace {

std::string function(plc::ModbusFunction f) {
    return f == plc::kNoFunction ? std::string("-") : std::to_string(int(f));
}

}  // namespace

std::string renderRegisterTypes() {
    using plc::AreaKind;
    std::vector<std::vector<std::string>> rows;
    for (int code = 0; code < plc::kRegisterTypeCount; ++code) {
        const plc::RegisterType& t = plc::kRegisterTypes[code];
        const plc::RegisterType& area = plc::kRegisterTypes[t.folded];
        std::string kind, read, write, base, text;
        switch (t.kind) {
            case AreaKind::Bits:
                kind = "bits";
                break;
            case AreaKind::Words:
                kind = "words";
                break;
            case AreaKind::BitInWord:
                kind = "bit of " + std::to_string(t.folded);
                break;
        }
        if (t.kind == AreaKind::BitInWord) {
            // Read as words of the folded area; written as read-modify-write.
            read = function(area.readFunction);
            write = t.writeFunction == plc::kNoFunction
                        ? "-"
                        : function(area.readFunction) + "+" + function(t.writeFunction);
        } else {
            read = function(t.readFunction);
            write =
                t.writeFunction == plc::kWriteSingleRegister ? "6/16" : function(t.writeFunction);
        }
        if (!t.hostWritable || t.writeFunction == plc::kNoFunction) write += " (read-only)";
        base = std::to_string(area.areaBase);
        switch (t.textBase) {
            case plc::kOctal:
                text = "octal";
                break;
            case plc::kDecimal:
                text = "decimal";
                break;
            case plc::kWordDotBit:
                text = "word.bit";
                break;
        }
        rows.push_back({std::to_string(code), kind, read, write, base, text});
    }
    const std::vector<Column> columns = {{"Code", true},      {"Kind"},
                                         {"Read FC", true},   {"Write FC"},
                                         {"Area base", true}, {"Address text"}};
    return renderTable(columns, rows, 80) + "\n" +
           wrapParagraph(
               "Read/Write FC: the Modbus function codes of the local framing; 6/16: one "
               "register with 6, more with 16; 3+6: a bit inside a word is read (3) and "
               "the word written back (6).",
               80, 1, 1) +
           wrapParagraph(
               "Area base: the Modbus address of the area's unit 0. The address on the "
               "wire is the base plus the unit number (for 20..23 the word number) and "
               "must stay at or below 65535.",
               80, 1, 1) +
           wrapParagraph(
               "Address text (-r): octal for 0 and 1 (-r 17 is bit 15), word.bit for "
               "20..23 (-r 3.4 is bit 4 of word 3), decimal otherwise.",
               80, 1, 1);
}

}  // namespace plchost
