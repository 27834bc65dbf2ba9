// The library as a host sees it: loaded with dlopen, every entry point, data
// object and helper looked up by the name the host uses, the record layouts
// the host was built with, and nothing internal in the dynamic symbol table.
#include <dlfcn.h>
#include <elf.h>
#include <gtest/gtest.h>
#include <link.h>
#include <unistd.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <cstddef>
#include <cstring>
#include <iostream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "../../src/driver_internal.h"
#include "plc_driver.h"

namespace {

// clang-format off
const char* const kPlainNames[] = {
    "SetComInfo", "FlashLocalRegister", "RegistCallBackFuncIntf", "QueryFinishFlag",
    "EnCommStation", "EnableEthernet", "ComCommunication", "DataCom", "AddListReadVar",
    "AddListWriteVar", "AddListOnceReadVar", "ReCreatReadVarList", "PLCAddressChangeIntef",
    "GetRegisterData", "SetRegisterData", "customMessageHandler",
    "LB", "LW", "RWI", "PLC_driver", "DataStorage",
};

// Helpers under their typed names.
const char* const kTypedNames[] = {
    "_Z6CalSUMPht", "_Z6CalCRCPht", "_Z6CalLRCPht", "_Z6CalXORPht",
    "_Z14DigitalToASCIIi", "_Z14ASCIIToDigitali", "_Z16getOffsetAddressi",
    "_Z12ReadRegisterP6RW_VAR", "_Z10ReadAnalogP6RW_VAR", "_Z13WriteRegisterP6RW_VAR",
    "_Z11WriteAnalogP6RW_VAR", "_Z14Remote_ReadVarP6RW_VAR", "_Z15Remote_WriteVarP6RW_VAR",
};

// Functions the driver keeps to itself, in both spellings.
const char* const kInternalNames[] = {
    "checkTheStorage", "_Z15checkTheStorageR19ControlInformationM",
    "getPlcReg", "_Z9getPlcRegi",
    "StringAddressToInt", "_Z18StringAddressToInti7QString",
    "updateRwVar", "_Z11updateRwVarP6RW_VAR",
    "passRetValue", "_Z12passRetValueRK6RW_VARRS_",
    "WriteDataToLocal", "_Z16WriteDataToLocalP6RW_VAR",
    "SaveToLocalDataErea", "_Z19SaveToLocalDataEreaP10QByteArray",
    "SpecialRegisterSave", "_Z19SpecialRegisterSaveP10QByteArray",
    "Ethernetcontains", "_Z16Ethernetcontainsi",
    "Bubble_Sort", "_Z11Bubble_SortP5QListI6RW_VARE",
    "BitVarReCreat_3", "_Z15BitVarReCreat_3P5QListI6RW_VAREi",
    "WhetherGroup", "_Z12WhetherGroupiiP6RW_VARP5QListIS_E",
    "CheckGetData", "_Z12CheckGetDataP10QByteArrayi",
};

// Driver names that must not appear inside any exported symbol at all.
const char* const kInternalFragments[] = {
    "checkTheStorage", "getPlcReg", "StringAddressToInt", "updateRwVar", "passRetValue",
    "WriteDataToLocal", "SaveToLocalDataErea", "SpecialRegisterSave", "Ethernetcontains",
    "Bubble_Sort", "BitVarReCreat", "WhetherGroup", "CheckGetData", "DealDataOf",
    "GetDriverReturnValue", "SwitchErrorReturn", "emptyRwVar", "DriverLock", "4Diag",
    "ControlInformationM",
};
// clang-format on

class Library {
public:
    Library() : handle_(dlopen(PLC_DRIVER_LIBRARY, RTLD_NOW | RTLD_LOCAL)) {}
    ~Library() {
        if (handle_) dlclose(handle_);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    bool ok() const { return handle_ != nullptr; }
    void* sym(const char* name) const { return dlsym(handle_, name); }
    template <typename T>
    T fn(const char* name) const {
        return reinterpret_cast<T>(sym(name));
    }

private:
    void* handle_;
};

// Names of the symbols the shared object defines in its dynamic table.
std::set<std::string> definedDynamicSymbols(const char* path) {
    std::set<std::string> names;
    QFile f(QString::fromLocal8Bit(path));
    if (!f.open(QIODevice::ReadOnly)) return names;
    const QByteArray image = f.readAll();
    const char* base = image.constData();
    if (image.size() < int(sizeof(ElfW(Ehdr)))) return names;
    const auto* eh = reinterpret_cast<const ElfW(Ehdr)*>(base);
    if (std::memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0) return names;
    const auto* sh = reinterpret_cast<const ElfW(Shdr)*>(base + eh->e_shoff);
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sh[i].sh_type != SHT_DYNSYM) continue;
        const char* strtab = base + sh[sh[i].sh_link].sh_offset;
        const auto* syms = reinterpret_cast<const ElfW(Sym)*>(base + sh[i].sh_offset);
        const size_t n = sh[i].sh_size / sizeof(ElfW(Sym));
        for (size_t k = 1; k < n; ++k) {
            // Undefined references and (on 32-bit ARM) unnamed section symbols
            // are no exports.
            if (syms[k].st_shndx == SHN_UNDEF || (syms[k].st_info & 0xF) == STT_SECTION) continue;
            if (strtab[syms[k].st_name] == '\0') continue;
            names.insert(strtab + syms[k].st_name);
        }
    }
    return names;
}

// Runs in a fresh process: the first load of the library.
TEST(Abi, AFreshlyLoadedLibraryHasItsInitialState) {
    Library lib;
    ASSERT_TRUE(lib.ok()) << dlerror();
    for (const char* word : {"LB", "LW", "RWI"}) {
        const auto* p = static_cast<const int32_t*>(lib.sym(word));
        ASSERT_NE(p, nullptr) << word;
        EXPECT_EQ(*p, 0) << word;
    }
    const auto* d = static_cast<const Communication_Protocol*>(lib.sym("PLC_driver"));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->comInfo, nullptr);
    EXPECT_EQ(d->lastList, 100);
    EXPECT_TRUE(d->readList.isEmpty());
    EXPECT_TRUE(d->writeList.isEmpty());
    EXPECT_TRUE(d->pendingFrames.isEmpty());
    EXPECT_TRUE(d->stationsOff.isEmpty());
    EXPECT_EQ(d->retVar.status, 0);
    const auto* storage =
        static_cast<const QMap<int, QMap<int, QByteArray> >*>(lib.sym("DataStorage"));
    ASSERT_NE(storage, nullptr);
    EXPECT_TRUE(storage->isEmpty());
}

TEST(Abi, EveryHostNameResolves) {
    Library lib;
    ASSERT_TRUE(lib.ok()) << dlerror();
    for (const char* name : kPlainNames) EXPECT_NE(lib.sym(name), nullptr) << name;
    for (const char* name : kTypedNames) EXPECT_NE(lib.sym(name), nullptr) << name;
}

TEST(Abi, InternalFunctionsStayOutOfTheDynamicSymbolTable) {
    Library lib;
    ASSERT_TRUE(lib.ok()) << dlerror();
    for (const char* name : kInternalNames) EXPECT_EQ(lib.sym(name), nullptr) << name;

    const std::set<std::string> defined = definedDynamicSymbols(PLC_DRIVER_LIBRARY);
    ASSERT_FALSE(defined.empty());
    for (const char* name : kPlainNames) EXPECT_EQ(defined.count(name), 1u) << name;
    std::set<std::string> expected(std::begin(kPlainNames), std::end(kPlainNames));
    expected.insert(std::begin(kTypedNames), std::end(kTypedNames));
    for (const std::string& s : defined) {
        for (const char* fragment : kInternalFragments) {
            EXPECT_EQ(s.find(fragment), std::string::npos) << s << " exports " << fragment;
        }
        // Beyond the host's names only linker-made markers (_end, __bss_start
        // and the like) may appear; no C++ symbol at all.
        const bool linkerMarker = s.size() > 1 && s[0] == '_' && s[1] != 'Z';
        EXPECT_TRUE(expected.count(s) == 1 || linkerMarker) << "unexpected export " << s;
    }
}

TEST(Abi, RecordsHaveTheHostsLayout) {
    std::cout << "sizeof RW_VAR " << sizeof(RW_VAR) << ", Protocol " << sizeof(Protocol)
              << ", EXTENDVAR " << sizeof(EXTENDVAR) << ", COMINFO " << sizeof(COMINFO)
              << ", VARDESC " << sizeof(VARDESC) << " (pointer " << sizeof(void*) << ")\n";
    EXPECT_EQ(sizeof(COMINFO), 19 * 4u);
    EXPECT_EQ(offsetof(VARDESC, regType), 1u);
    EXPECT_EQ(offsetof(VARDESC, station), 2u);
    if (sizeof(void*) == 4) {
        EXPECT_EQ(sizeof(RW_VAR), 60u);
        EXPECT_EQ(sizeof(Protocol), 92u);
        EXPECT_EQ(sizeof(EXTENDVAR), 16u);
        EXPECT_EQ(offsetof(RW_VAR, name), 24u);
        EXPECT_EQ(offsetof(RW_VAR, regType), 32u);
        EXPECT_EQ(offsetof(RW_VAR, value), 56u);
        EXPECT_EQ(offsetof(Protocol, var), 20u);
        EXPECT_EQ(offsetof(Protocol, reserved3), 88u);
        EXPECT_EQ(offsetof(VARDESC, addrText), 8u);
        EXPECT_EQ(offsetof(VARDESC, count), 16u);
    } else {
        // 64-bit development build: the same order with 8-byte strings.
        EXPECT_EQ(offsetof(RW_VAR, name), 24u);
        EXPECT_EQ(offsetof(RW_VAR, regType), 40u);
        EXPECT_EQ(offsetof(RW_VAR, value), 64u);
        EXPECT_EQ(sizeof(RW_VAR), 72u);
        EXPECT_EQ(offsetof(Protocol, var), 24u);
        EXPECT_EQ(offsetof(Protocol, reserved3), 104u);
        EXPECT_EQ(offsetof(EXTENDVAR, data), 16u);
    }
}

TEST(Abi, HelpersAndEntryPointsWorkThroughTheLookedUpAddresses) {
    Library lib;
    ASSERT_TRUE(lib.ok()) << dlerror();
    auto calCrc = lib.fn<unsigned short (*)(unsigned char*, unsigned short)>("_Z6CalCRCPht");
    auto calSum = lib.fn<unsigned short (*)(unsigned char*, unsigned short)>("_Z6CalSUMPht");
    auto toAscii = lib.fn<int (*)(int)>("_Z14DigitalToASCIIi");
    auto offset = lib.fn<int (*)(int)>("_Z16getOffsetAddressi");
    auto convert = lib.fn<int32_t (*)(int32_t, QString)>("PLCAddressChangeIntef");
    ASSERT_TRUE(calCrc && calSum && toAscii && offset && convert);
    unsigned char digits[] = "123456789";
    EXPECT_EQ(calCrc(digits, 9), 0x4B37);
    EXPECT_EQ(calSum(digits, 9), 0x1DD);
    EXPECT_EQ(toAscii(10), 0x41);
    EXPECT_EQ(offset(7), 11736);
    EXPECT_EQ(convert(22, QStringLiteral("4.15")), 79);
    EXPECT_EQ(convert(0, QStringLiteral("17")), 15);

    auto flash = lib.fn<void (*)(int32_t, int32_t, int32_t)>("FlashLocalRegister");
    ASSERT_NE(flash, nullptr);
    flash(4, 5, 6);
    EXPECT_EQ(*static_cast<int32_t*>(lib.sym("LW")), 5);
    flash(0, 0, 0);

    // One cyclic read through the host's calls: rebuild, frame, reply, image.
    auto setComInfo = lib.fn<void (*)(COMINFO*)>("SetComInfo");
    auto rebuild = lib.fn<int32_t (*)(QList<VARDESC>*)>("ReCreatReadVarList");
    auto next = lib.fn<Protocol* (*)()>("ComCommunication");
    auto dataCom = lib.fn<RW_VAR* (*)(QByteArray*, int32_t)>("DataCom");
    auto getData = lib.fn<int32_t (*)(void*, int32_t, QString&, int32_t, QByteArray*, int32_t)>(
        "GetRegisterData");
    ASSERT_TRUE(setComInfo && rebuild && next && dataCom && getData);
    COMINFO info{};
    info.blockSize = 32;
    info.defStation = 1;
    info.retryMax = 1;
    info.runMode = 2;
    info.cleared10 = 9;
    info.cleared13 = 9;
    setComInfo(&info);
    EXPECT_EQ(info.cleared10, 0);
    EXPECT_EQ(info.cleared13, 0);
    VARDESC d{};
    d.regType = 7;
    d.station = 1;
    d.addrText = QStringLiteral("100");
    d.count = 2;
    QList<VARDESC> descs{d};
    EXPECT_EQ(rebuild(&descs), 1);
    Protocol* p = next();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->frame.left(p->frameLen).toHex(' '), QByteArray("01 03 2e 3c 00 02 0d 2f"));
    EXPECT_EQ(p->replyLen, 9);
    QByteArray reply = QByteArray::fromHex("010304000100022A32");
    RW_VAR* r = dataCom(&reply, reply.size());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->status, 1);
    QString text = QStringLiteral("100");
    QByteArray out;
    EXPECT_EQ(getData(nullptr, 7, text, 1, &out, 2), 1);
    EXPECT_EQ(out.toHex(' '), QByteArray("01 00 02 00"));
    setComInfo(nullptr);
    descs.clear();
    rebuild(&descs);
}

TEST(Abi, TheLogHandlerStartsAFreshFileAtItsFirstMessageAfterLoading) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString old = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    auto readLog = [&] {
        QFile f(dir.filePath(QStringLiteral("debug.log")));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    };
    {
        QFile f(dir.filePath(QStringLiteral("debug.log")));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("left over\nfrom before\n");
    }
    {
        Library lib;
        ASSERT_TRUE(lib.ok()) << dlerror();
        auto handler = lib.fn<void (*)(QtMsgType, const char*)>("customMessageHandler");
        ASSERT_NE(handler, nullptr);
        handler(QtDebugMsg, "first");
        QByteArray log = readLog();
        EXPECT_EQ(log.count('\n'), 1);
        EXPECT_TRUE(log.endsWith(":first\n")) << log.constData();
        handler(QtWarningMsg, "second");
        log = readLog();
        EXPECT_EQ(log.count('\n'), 2);
        EXPECT_TRUE(log.contains(":first\n")) << log.constData();
        EXPECT_TRUE(log.endsWith(":second\n")) << log.constData();
    }
    // A new load starts over, provided the loader really unloaded it.
    void* resident = dlopen(PLC_DRIVER_LIBRARY, RTLD_NOW | RTLD_NOLOAD);
    if (resident == nullptr) {
        Library again;
        ASSERT_TRUE(again.ok());
        auto handler = again.fn<void (*)(QtMsgType, const char*)>("customMessageHandler");
        handler(QtDebugMsg, "third");
        const QByteArray log = readLog();
        EXPECT_EQ(log.count('\n'), 1);
        EXPECT_TRUE(log.endsWith(":third\n")) << log.constData();
    } else {
        dlclose(resident);
        std::cout << "library stays resident after dlclose; reload not checked\n";
    }
    QDir::setCurrent(old);
}

}  // namespace
