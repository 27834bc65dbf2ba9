#include "driver_api.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <QtCore/QByteArray>
#include <QtCore/QtGlobal>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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
