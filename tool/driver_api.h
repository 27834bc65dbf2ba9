// The driver as a panel runtime sees it: a shared library opened at run time
// whose entry points are looked up by their plain names. Nothing here links
// against the driver; the header only supplies the record layouts and the
// function types.
#ifndef PLCHOST_DRIVER_API_H
#define PLCHOST_DRIVER_API_H

#include <string>
#include <vector>

#include "plc_driver.h"

namespace plchost {

class DriverApi {
public:
    DriverApi() = default;
    ~DriverApi();
    DriverApi(const DriverApi&) = delete;
    DriverApi& operator=(const DriverApi&) = delete;

    // Opens the library and resolves every entry point. A bare file name
    // ("libplcdriver.so.1") is looked for as the program's own libraries are,
    // its RUNPATH included. With privateCopy the
    // file is first copied to a temporary name, so the process gets a driver
    // of its own with fresh state even if the same library is already loaded
    // (the integration tests use this to start every test from a clean driver).
    bool load(const std::string& path, std::string* error, bool privateCopy = false);
    void unload();
    bool loaded() const { return handle_ != nullptr; }
    const std::string& path() const { return path_; }
    // The file the loader actually mapped, symbolic links resolved
    // (".../libplcdriver.so.1.0.0"); empty when nothing is loaded.
    std::string loadedFile() const;

    // Routes Qt's message output to the driver's customMessageHandler, which
    // keeps the Qt 4 signature; restored on unload.
    void installMessageHandler();

    decltype(&::SetComInfo) SetComInfo = nullptr;
    decltype(&::FlashLocalRegister) FlashLocalRegister = nullptr;
    decltype(&::RegistCallBackFuncIntf) RegistCallBackFuncIntf = nullptr;
    decltype(&::QueryFinishFlag) QueryFinishFlag = nullptr;
    decltype(&::EnCommStation) EnCommStation = nullptr;
    decltype(&::EnableEthernet) EnableEthernet = nullptr;
    decltype(&::ComCommunication) ComCommunication = nullptr;
    decltype(&::DataCom) DataCom = nullptr;
    decltype(&::AddListReadVar) AddListReadVar = nullptr;
    decltype(&::AddListWriteVar) AddListWriteVar = nullptr;
    decltype(&::AddListOnceReadVar) AddListOnceReadVar = nullptr;
    decltype(&::ReCreatReadVarList) ReCreatReadVarList = nullptr;
    decltype(&::PLCAddressChangeIntef) PLCAddressChangeIntef = nullptr;
    decltype(&::GetRegisterData) GetRegisterData = nullptr;
    decltype(&::SetRegisterData) SetRegisterData = nullptr;
    decltype(&::customMessageHandler) customMessageHandler = nullptr;

private:
    void* handle_ = nullptr;
    std::string path_;
    bool handlerInstalled_ = false;
};

// The DT_NEEDED entries of a shared library file of this machine's ELF
// class ("libQt5Core.so.5", "libc.so.6"), read without loading it; empty for
// anything else, garbage included.
std::vector<std::string> neededLibraries(const std::string& file);

// The version a shared library's file name carries after ".so.":
// "libplcdriver.so.1.0.0" gives "1.0.0"; empty when there is none. The
// driver exports no version symbol (its set of names is fixed), so its
// file name, which the build sets from the project version, tells it.
std::string libraryVersion(const std::string& file);

}  // namespace plchost

#endif  // PLCHOST_DRIVER_API_H
