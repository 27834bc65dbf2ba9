#include "test_support.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
// QtCore is not built with ThreadSanitizer. Its shared strings and byte
// arrays are freed inside the library once an atomic reference count drops
// to zero; the detector sees that free but not the count's atomics, and
// reports a race whenever the last two references die on different threads.
// Calls the library makes (free among them) are left to it, like the rest of
// its code.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libQt5Core.so.5\ncalled_from_lib:libQtCore.so.4\n";
}
#endif

namespace plctest {

QByteArray hex(const char* text) { return QByteArray::fromHex(QByteArray(text)); }

Recorder& recorder() {
    static Recorder r;
    return r;
}

std::string listText(const QList<RW_VAR>& list, bool values) {
    std::string out;
    for (const RW_VAR& v : list) {
        if (!out.empty()) out += ' ';
        out += format("%d:%d:%d:%d", v.station, v.regType, v.addr, v.count);
        if (values) out += '=' + std::string(v.value.toHex().toUpper().constData());
    }
    return out;
}

std::string recordText(const RW_VAR& v) {
    return format("%d %d %d %d %d %d ", v.kind, v.id, v.direction, v.framingMode, v.linkNo,
                  v.status) +
           (v.name + ' ' + v.addrText).toStdString() +
           format(" %d %d %d %d %d %d ", v.regType, v.addr, v.station, v.count, v.special,
                  v.extra) +
           std::string(v.value.toHex().toUpper().constData());
}

void DriverTest::SetUp() {
    resetDriver();
    rec = Recorder();
    // blockSize 32, defStation 1, retryMax 2, runMode 2, hostHandle 77.
    info = COMINFO{0, 0, 0, 0, 32, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 77};
    SetComInfo(&info);
    // clang-format off
    RegistCallBackFuncIntf([](int32_t h, int32_t k, int32_t i, int32_t r) { recorder().done.push_back({h, k, i, r}); },
                           [](QList<RW_VAR> v, int32_t k, int32_t one) { recorder().fails.push_back({v.size(), k, one}); });
    installMessageSink([](QtMsgType t, const QString& m) {
        recorder().messages << (t == QtDebugMsg ? m : QString::fromLatin1("[type %1] ").arg(t) + m); });
    // clang-format on
}

void DriverTest::TearDown() {
    restoreMessageHandler();
    resetDriver();
}

RW_VAR DriverTest::var(int regType, int addr, int count, int station) const {
    return {0, 0, 0, 0, 0, 0, {}, QString::number(addr), regType, addr, station, count, 0, 0, {}};
}

std::string DriverTest::takeMessages() {
    const std::string all = rec.messages.join(QLatin1String("|")).toStdString();
    rec.messages.clear();
    return all;
}

Watchdog::Watchdog(const char* what, std::function<long long()> progress,
                   std::chrono::seconds stall)
    : thread_([this, what, progress, stall] {
          using Clock = std::chrono::steady_clock;
          long long seen = progress();
          Clock::time_point moved = Clock::now();
          while (!done_) {
              std::this_thread::sleep_for(std::chrono::milliseconds(50));
              const long long now = progress();
              if (now != seen) {
                  seen = now;
                  moved = Clock::now();
              } else if (Clock::now() - moved > stall) {
                  std::fprintf(stderr, "FAILED: %s: no progress for %lld s (at %lld); deadlock\n",
                               what, (long long)stall.count(), now);
                  std::_Exit(1);
              }
          }
      }) {}

Watchdog::~Watchdog() {
    done_ = true;
    thread_.join();
}

}  // namespace plctest
