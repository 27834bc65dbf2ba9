#include "faults.h"

#include <algorithm>

namespace plcsim {

FaultInjector::FaultInjector(double rate, uint32_t seed) : rate_(0), state_(seed ? seed : 1u) {
    setRate(rate);
}

void FaultInjector::setRate(double rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    rate_ = std::min(1.0, std::max(0.0, rate));
}

double FaultInjector::rate() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rate_;
}

// xorshift32: the same seed spoils the same replies on every machine.
uint32_t FaultInjector::next() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
}

Fault FaultInjector::spoil(std::vector<uint8_t>& reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rate_ <= 0 || reply.empty() || double(next()) / 4294967296.0 >= rate_) return Fault::None;
    Fault f = static_cast<Fault>(1 + next() % 3);
    if (f == Fault::CutShort && reply.size() < 2) f = Fault::Dropped;
    if (f == Fault::BadChecksum) reply.back() ^= 0x5A;
    if (f == Fault::CutShort) reply.resize(1 + next() % (reply.size() - 1));
    return f;
}

}  // namespace plcsim
