// The library as a host sees it: loaded with dlopen, every name the host uses
// looked up, nothing else in the dynamic symbol table, the record sizes of the
// 32-bit panel, and the log handler: its lines, and its fresh start after each load.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>

#include <QtCore/QDateTime>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QRegExp>
#include <QtCore/QStringList>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <set>
#include <string>

#include "plc_driver.h"
#include "qt_shim.h"

namespace {

// clang-format off
const std::set<std::string> kHostNames = {
    "SetComInfo", "FlashLocalRegister", "RegistCallBackFuncIntf", "QueryFinishFlag", "EnCommStation",
    "EnableEthernet", "ComCommunication", "DataCom", "AddListReadVar", "AddListWriteVar",
    "AddListOnceReadVar", "ReCreatReadVarList", "PLCAddressChangeIntef", "GetRegisterData",
    "SetRegisterData", "customMessageHandler", "LB", "LW", "RWI", "PLC_driver", "DataStorage",
    // Helpers under their typed names.
    "_Z6CalSUMPht", "_Z6CalCRCPht", "_Z6CalLRCPht", "_Z6CalXORPht", "_Z14DigitalToASCIIi",
    "_Z14ASCIIToDigitali", "_Z16getOffsetAddressi", "_Z12ReadRegisterP6RW_VAR",
    "_Z10ReadAnalogP6RW_VAR", "_Z13WriteRegisterP6RW_VAR", "_Z11WriteAnalogP6RW_VAR",
    "_Z14Remote_ReadVarP6RW_VAR", "_Z15Remote_WriteVarP6RW_VAR",
};
const char* const kInternalNames[] = {
    "checkTheStorage", "_Z9getPlcRegi", "getPlcReg", "StringAddressToInt", "updateRwVar",
    "_Z11updateRwVarP6RW_VAR", "passRetValue", "WriteDataToLocal", "storeReplyData",
    "patchBitWrite", "isStationOff", "sortForGrouping", "appendInPieces", "CheckGetData",
};
// clang-format on

using Library = std::unique_ptr<void, int (*)(void*)>;
Library load(const char* path) { return Library(dlopen(path, RTLD_NOW | RTLD_LOCAL), dlclose); }
template <typename T>
T fn(const Library& lib, const char* name) {
    return reinterpret_cast<T>(dlsym(lib.get(), name));
}

// Names the shared object defines in its dynamic symbol table.
std::set<std::string> exportedNames(const char* path) {
    std::set<std::string> names;
    QFile f(QString::fromLocal8Bit(path));
    const QByteArray image = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    const char* base = image.constData();
    const auto* eh = reinterpret_cast<const ElfW(Ehdr)*>(base);
    if (image.size() < int(sizeof(*eh)) || std::memcmp(eh->e_ident, ELFMAG, SELFMAG)) return names;
    const auto* sh = reinterpret_cast<const ElfW(Shdr)*>(base + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_DYNSYM) continue;
        const char* strtab = base + sh[sh[i].sh_link].sh_offset;
        const auto* syms = reinterpret_cast<const ElfW(Sym)*>(base + sh[i].sh_offset);
        for (size_t k = 1; k < sh[i].sh_size / sizeof(ElfW(Sym)); ++k) {
            // Undefined references and unnamed (section) symbols are no exports.
            if (syms[k].st_shndx != SHN_UNDEF && strtab[syms[k].st_name])
                names.insert(strtab + syms[k].st_name);
        }
    }
    return names;
}

TEST(Abi, EveryHostNameResolvesAndTheDynamicSymbolTableHoldsNothingElse) {
    Library lib = load(PLC_DRIVER_LIBRARY);
    ASSERT_TRUE(lib) << dlerror();
    const std::set<std::string> exported = exportedNames(PLC_DRIVER_LIBRARY);
    for (const std::string& name : kHostNames)
        EXPECT_TRUE(dlsym(lib.get(), name.c_str()) && exported.count(name)) << name;
    for (const char* name : kInternalNames) EXPECT_EQ(dlsym(lib.get(), name), nullptr) << name;
    for (const std::string& s : exported) {
        // Besides the host's names only linker-made markers (_end, __bss_start).
        const bool marker = s.size() > 1 && s[0] == '_' && s[1] != 'Z';
        EXPECT_TRUE(kHostNames.count(s) || marker) << "unexpected export " << s;
    }
}

TEST(Abi, RecordsHaveThePanelsSizesOn32BitTargets) {
    std::printf("sizeof RW_VAR %zu, Protocol %zu, EXTENDVAR %zu (pointer %zu)\n", sizeof(RW_VAR),
                sizeof(Protocol), sizeof(EXTENDVAR), sizeof(void*));
    if (sizeof(void*) != 4) GTEST_SKIP() << "the panel's layout is the 32-bit one";
    EXPECT_EQ(sizeof(RW_VAR), 60u);
    EXPECT_EQ(sizeof(Protocol), 92u);
    EXPECT_EQ(sizeof(EXTENDVAR), 16u);
}

// Each load of the library starts a fresh "debug.log" at its first message
// and appends after: a line "yyyy.MM.dd.hh:mm:ss.z:message" for a message of
// any type, z being the milliseconds without leading zeros.
TEST(Abi, TheLogHandlerStartsAFreshFileAfterEachLoadAndStampsEveryLine) {
    plctest::TempDir dir;
    const QString old = QDir::currentPath();
    ASSERT_TRUE(dir.isValid() && QDir::setCurrent(dir.path()));
    QFile stale(dir.filePath("debug.log"));
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly) && stale.write("left over\n") > 0);
    stale.close();
    // A copy under another name is a second, independent load.
    const QString copy = dir.filePath("reloaded.so");
    ASSERT_TRUE(QFile::copy(PLC_DRIVER_LIBRARY, copy));
    const std::pair<QtMsgType, const char*> messages[] = {
        {QtDebugMsg, "first"},
        {QtFatalMsg, "fatal: the handler still returns"},
        {QtWarningMsg, ""},
        {QtDebugMsg, "StringAddressToInt error 20 \"a b\" "}};
    const int n = int(std::size(messages));
    QRegExp stamp(QLatin1String(
        "(\\d{4})\\.(\\d\\d)\\.(\\d\\d)\\.(\\d\\d):(\\d\\d):(\\d\\d)\\.(0|[1-9]\\d{0,2}):(.*)"));
    for (const QString& path : {QString(PLC_DRIVER_LIBRARY), copy}) {
        SCOPED_TRACE(path.toStdString());
        Library lib = load(path.toLocal8Bit().constData());
        auto handler = fn<void (*)(QtMsgType, const char*)>(lib, "customMessageHandler");
        ASSERT_TRUE(lib && handler) << dlerror();
        // Early in a second, where a zero-padded millisecond field starts with 0.
        QDateTime before = QDateTime::currentDateTime();
        while (before.time().msec() < 5 || before.time().msec() > 50)
            before = QDateTime::currentDateTime();
        for (const auto& m : messages) handler(m.first, m.second);
        const QDateTime after = QDateTime::currentDateTime();
        QFile log(dir.filePath("debug.log"));
        ASSERT_TRUE(log.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromLocal8Bit(log.readAll()).split(QLatin1Char('\n'));
        ASSERT_EQ(lines.size(), n + 1) << lines.join(QLatin1String("|")).toStdString();
        EXPECT_TRUE(lines.last().isEmpty());  // every line ends in a newline
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(stamp.exactMatch(lines[i])) << lines[i].toStdString();
            auto at = [&](int k) { return stamp.cap(k).toInt(); };
            const QDateTime when(QDate(at(1), at(2), at(3)), QTime(at(4), at(5), at(6), at(7)));
            EXPECT_TRUE(before <= when && when <= after) << lines[i].toStdString();
            EXPECT_TRUE(i > 0 || when.time().msec() < 100);  // where a padded field fails
            EXPECT_EQ(stamp.cap(8).toStdString(), messages[i].second);
        }
    }
    QDir::setCurrent(old);
}

}  // namespace
