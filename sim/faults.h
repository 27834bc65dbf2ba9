// Fault injection: a share of the replies is spoiled, in equal parts dropped,
// sent with a bad check sum, or cut short, to exercise a master's retries and
// back-off. The pattern follows from the seed alone.
#ifndef PLCSIM_FAULTS_H
#define PLCSIM_FAULTS_H

#include <cstdint>
#include <mutex>
#include <vector>

namespace plcsim {

enum class Fault { None, Dropped, BadChecksum, CutShort };

class FaultInjector {
public:
    FaultInjector(double rate, uint32_t seed);

    // Clamped to 0..1.
    void setRate(double rate);
    double rate() const;

    // Decides the reply's fate and spoils it in place: Dropped leaves it for
    // the caller to withhold, BadChecksum flips bits of its last byte,
    // CutShort keeps 1..size-1 of its bytes. Thread-safe.
    Fault spoil(std::vector<uint8_t>& reply);

private:
    uint32_t next();

    mutable std::mutex mutex_;
    double rate_;
    uint32_t state_;
};

}  // namespace plcsim

#endif  // PLCSIM_FAULTS_H
