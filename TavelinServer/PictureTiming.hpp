#pragma once
#include <algorithm>
#include <chrono>
#include <optional>

namespace tavelin {

// When one phone wants its next picture. A phone takes one picture at a time and asks for the
// next by acknowledging the last; making a picture only when the ack arrives would add the
// time to make it to every round trip. So the round trip (send → ack) is measured, and so is
// the time a picture takes to make (`lead`): the next one is wanted that long before the ack
// is expected, and is ready, and fresh, as it arrives. `lead` learns from each ack: a picture
// that came after the ack was asked for too late, one that waited for it too early.
class PictureTiming {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PictureTiming(Clock::duration ackWait) : ackWait_(ackWait) {}

  void sent(Clock::time_point at) {
    sentAt_ = at;
    awaiting_ = true;
    lateFrom_.reset();
  }

  // `waitingSince`: when the picture that leaves now on this ack arrived, if one waited.
  void acknowledged(Clock::time_point at, std::optional<Clock::time_point> waitingSince) {
    if (awaiting_ && sentAt_) {
      const auto sample = at - *sentAt_;
      roundTrip_ =
          roundTrip_ == Clock::duration::zero() ? sample : roundTrip_ + (sample - roundTrip_) / 4;
    }
    awaiting_ = false;
    if (waitingSince) {
      learn(-(at - *waitingSince));
    } else {
      lateFrom_ = at;
    }
  }

  // A picture for this phone arrived (to be sent, or to wait for an ack).
  void arrived(Clock::time_point at) {
    if (!lateFrom_) return;
    learn(at - *lateFrom_);
    lateFrom_.reset();
  }

  // From when the next picture is wanted, with none waiting: at once when the last was
  // acknowledged (or nothing was sent yet); otherwise `lead` before the ack is expected, and at
  // the latest when the ack is overdue.
  Clock::time_point due() const {
    if (!awaiting_ || !sentAt_) return Clock::time_point{};
    const auto overdue = *sentAt_ + ackWait_;
    if (roundTrip_ == Clock::duration::zero()) return overdue;
    return std::min(overdue, *sentAt_ + roundTrip_ - lead_);
  }

  // Whether a picture may leave now: the last was acknowledged (or none was sent), or its
  // acknowledgement is overdue.
  bool mayRelease(Clock::time_point now) const {
    return !awaiting_ || !sentAt_ || now - *sentAt_ >= ackWait_;
  }

  Clock::duration roundTrip() const { return roundTrip_; }
  Clock::duration lead() const { return lead_; }

 private:
  // One step a quarter of the way towards what the last picture showed; never more than the
  // round trip, so one still screen that made a phone wait long does not carry over.
  void learn(Clock::duration error) {
    const auto bound = std::max(roundTrip_, Clock::duration::zero());
    error = std::clamp(error, -bound, bound);
    lead_ = std::clamp(lead_ + error / 4, Clock::duration::zero(), bound);
  }

  Clock::duration ackWait_;
  std::optional<Clock::time_point> sentAt_;
  bool awaiting_ = false;
  Clock::duration roundTrip_ = Clock::duration::zero();
  Clock::duration lead_ = Clock::duration::zero();
  std::optional<Clock::time_point> lateFrom_;  // acknowledged with nothing waiting
};

}  // namespace tavelin
