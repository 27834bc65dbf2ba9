#include "driver_api.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QtCore/QByteArray>
#include <QtCore/QtGlobal>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <type_traits>
#include <vector>

namespace plchost {

namespace {

// The installed driver handler. Qt 5 hands its handler a context and a
// QString; the driver's handler takes the Qt 4 pair (type, 8-bit text).
std::atomic<decltype(&::customMessageHandler)> g_qt4Handler{nullptr};
QtMessageHandler g_previousHandler = nullptr;

void forwardToDriver(QtMsgType type, const QMessageLogContext&, const QString& msg) {
    if (auto h = g_qt4Handler.load()) {
        const QByteArray text = msg.toLocal8Bit();
        h(type, text.constData());
    }
}

bool copyFile(const std::string& from, int toFd) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return false;
    char buf[65536];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(in, buf, sizeof buf);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        for (ssize_t off = 0; off < n;) {
            const ssize_t w = ::write(toFd, buf + off, size_t(n - off));
            if (w < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            off += w;
        }
        if (!ok) break;
    }
    ::close(in);
    return ok;
}

// A bare library name as the program's own dependencies would be found:
// LD_LIBRARY_PATH, then the program's RUNPATH (with $ORIGIN expanded), then
// the default directories. dlopen does the same for a call from the program
// itself, but takes the RUNPATH of the calling object: under a sanitizer
// the caller is the sanitizer's interceptor, which has none. Relative
// entries are skipped. Empty when no directory holds the file.
std::string inProgramSearchPath(const std::string& name) {
    void* self = ::dlopen(nullptr, RTLD_NOW);
    Dl_serinfo size;
    if (!self || ::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0) return {};
    std::vector<char> buf(size.dls_size);
    auto* info = reinterpret_cast<Dl_serinfo*>(buf.data());
    *info = size;
    std::string found;
    if (::dlinfo(self, RTLD_DI_SERINFOSIZE, info) == 0 &&
        ::dlinfo(self, RTLD_DI_SERINFO, info) == 0) {
        for (unsigned i = 0; i < info->dls_cnt && found.empty(); ++i) {
            const std::string dir = info->dls_serpath[i].dls_name;
            const std::string file = dir + "/" + name;
            if (!dir.empty() && dir[0] == '/' && ::access(file.c_str(), R_OK) == 0) found = file;
        }
    }
    ::dlclose(self);
    return found;
}

}  // namespace

DriverApi::~DriverApi() { unload(); }

bool DriverApi::load(const std::string& path, std::string* error, bool privateCopy) {
    unload();
    std::string openPath = path;
    if (path.find('/') == std::string::npos) {
        const std::string found = inProgramSearchPath(path);
        if (!found.empty()) openPath = found;
    }
    // A Qt 4 build would bring a second QtCore into this Qt 5 program and
    // crash while loading: refuse it before.
    for (const std::string& lib : neededLibraries(openPath)) {
        if (lib.rfind("libQtCore.so.4", 0) == 0) {
            if (error)
                *error = openPath + " is a Qt 4 build of the driver (it needs " + lib +
                         "); plc-host is a Qt 5 program and loads only the Qt 5 build";
            return false;
        }
    }
    std::string tempPath;
    if (privateCopy) {
        char tmpl[] = "/tmp/plcdriver-copy-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        if (fd < 0 || !copyFile(openPath, fd)) {
            if (fd >= 0) {
                ::close(fd);
                ::unlink(tmpl);
            }
            if (error) *error = "cannot copy " + path + ": " + std::strerror(errno);
            return false;
        }
        ::close(fd);
        tempPath = openPath = tmpl;
    }
    handle_ = ::dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!tempPath.empty()) ::unlink(tempPath.c_str());  // the mapping stays
    if (!handle_) {
        if (error) *error = std::string("dlopen: ") + ::dlerror();
        return false;
    }
    path_ = path;

    std::string missing;
    auto resolve = [&](auto& fn, const char* name) {
        void* sym = ::dlsym(handle_, name);
        if (!sym) missing += std::string(missing.empty() ? "" : ", ") + name;
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(sym);
    };
    resolve(SetComInfo, "SetComInfo");
    resolve(FlashLocalRegister, "FlashLocalRegister");
    resolve(RegistCallBackFuncIntf, "RegistCallBackFuncIntf");
    resolve(QueryFinishFlag, "QueryFinishFlag");
    resolve(EnCommStation, "EnCommStation");
    resolve(EnableEthernet, "EnableEthernet");
    resolve(ComCommunication, "ComCommunication");
    resolve(DataCom, "DataCom");
    resolve(AddListReadVar, "AddListReadVar");
    resolve(AddListWriteVar, "AddListWriteVar");
    resolve(AddListOnceReadVar, "AddListOnceReadVar");
    resolve(ReCreatReadVarList, "ReCreatReadVarList");
    resolve(PLCAddressChangeIntef, "PLCAddressChangeIntef");
    resolve(GetRegisterData, "GetRegisterData");
    resolve(SetRegisterData, "SetRegisterData");
    resolve(customMessageHandler, "customMessageHandler");
    if (!missing.empty()) {
        if (error) *error = path + " lacks the entry points: " + missing;
        unload();
        return false;
    }
    return true;
}

std::string DriverApi::loadedFile() const {
    link_map* map = nullptr;
    if (!handle_ || ::dlinfo(handle_, RTLD_DI_LINKMAP, &map) != 0 || !map || !map->l_name)
        return {};
    char resolved[PATH_MAX];
    return ::realpath(map->l_name, resolved) ? std::string(resolved) : std::string(map->l_name);
}

std::vector<std::string> neededLibraries(const std::string& file) {
    // Regular files of a library's size only: never a device or a pipe.
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > (64 << 20))
        return {};
    std::ifstream in(file, std::ios::binary);
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
    std::vector<std::string> needed;
    // Reads a T at offset off when it lies wholly inside the file.
    auto at = [&](uint64_t off, auto* out) {
        if (off > bytes.size() || bytes.size() - off < sizeof *out) return false;
        std::memcpy(out, bytes.data() + off, sizeof *out);
        return true;
    };
    ElfW(Ehdr) eh;
    if (!at(0, &eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != (sizeof(void*) == 8 ? ELFCLASS64 : ELFCLASS32) ||
        eh.e_phentsize != sizeof(ElfW(Phdr)))
        return needed;
    std::vector<ElfW(Phdr)> loads;
    ElfW(Phdr) dynamic{};
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        ElfW(Phdr) ph;
        if (!at(eh.e_phoff + uint64_t(i) * sizeof ph, &ph)) return needed;
        if (ph.p_type == PT_LOAD) loads.push_back(ph);
        if (ph.p_type == PT_DYNAMIC) dynamic = ph;
    }
    // The string table is named by its address once loaded: back to a file offset.
    auto fileOffset = [&](uint64_t vaddr, uint64_t* off) {
        for (const ElfW(Phdr) & l : loads) {
            if (vaddr >= l.p_vaddr && vaddr - l.p_vaddr < l.p_filesz) {
                *off = vaddr - l.p_vaddr + l.p_offset;
                return true;
            }
        }
        return false;
    };
    std::vector<uint64_t> names;
    uint64_t strtab = 0;
    for (uint64_t off = dynamic.p_offset; off < dynamic.p_offset + dynamic.p_filesz;
         off += sizeof(ElfW(Dyn))) {
        ElfW(Dyn) d;
        if (!at(off, &d) || d.d_tag == DT_NULL) break;
        if (d.d_tag == DT_NEEDED) names.push_back(d.d_un.d_val);
        if (d.d_tag == DT_STRTAB && !fileOffset(d.d_un.d_ptr, &strtab)) return needed;
    }
    for (uint64_t name : names) {
        std::string text;
        for (uint64_t i = strtab + name; i < bytes.size() && bytes[i] != '\0'; ++i)
            text += bytes[i];
        needed.push_back(text);
    }
    return needed;
}

std::string libraryVersion(const std::string& file) {
    const std::string base = file.substr(file.rfind('/') + 1);
    const size_t so = base.rfind(".so.");
    if (so == std::string::npos) return {};
    const std::string version = base.substr(so + 4);
    const bool wellFormed = !version.empty() && version.front() != '.' && version.back() != '.' &&
                            version.find_first_not_of("0123456789.") == std::string::npos &&
                            version.find("..") == std::string::npos;
    return wellFormed ? version : std::string();
}

void DriverApi::installMessageHandler() {
    if (!handle_ || handlerInstalled_) return;
    g_qt4Handler = customMessageHandler;
    g_previousHandler = qInstallMessageHandler(forwardToDriver);
    handlerInstalled_ = true;
}

void DriverApi::unload() {
    if (handlerInstalled_) {
        qInstallMessageHandler(g_previousHandler);
        g_qt4Handler = nullptr;
        handlerInstalled_ = false;
    }
    if (handle_) ::dlclose(handle_);
    handle_ = nullptr;
    SetComInfo = nullptr;
    FlashLocalRegister = nullptr;
    RegistCallBackFuncIntf = nullptr;
    QueryFinishFlag = nullptr;
    EnCommStation = nullptr;
    EnableEthernet = nullptr;
    ComCommunication = nullptr;
    DataCom = nullptr;
    AddListReadVar = nullptr;
    AddListWriteVar = nullptr;
    AddListOnceReadVar = nullptr;
    ReCreatReadVarList = nullptr;
    PLCAddressChangeIntef = nullptr;
    GetRegisterData = nullptr;
    SetRegisterData = nullptr;
    customMessageHandler = nullptr;
}

}  // namespace plchost
