#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "TavelinKit/Foundation/Clock.hpp"
#include "TavelinKit/Foundation/DataFolder.hpp"
#include "TavelinKit/Pairing/PairedDevice.hpp"

namespace tavelin {

// A token handed to a newly paired phone. The token leaves the service only here.
struct IssuedToken {
  std::string token;
  PairedDevice device;
};

struct PairingFailure {
  std::string reason;  // shown to the phone
};

using PairingResult = std::variant<IssuedToken, PairingFailure>;

// The single authority on which phones may use the host: the PIN on screen with its lockout,
// device tokens (stored only as hashes in the devices file), their validation with lazy 30-day
// expiry, and revocation. Any thread; one lock guards everything. Callbacks run on the calling
// thread after the lock is released, so they may call back into the service.
class PairingService {
 public:
  enum class PinVerification { ok, locked, incorrect };

  static constexpr int pinAttemptsBeforeLockout = 5;
  static constexpr std::chrono::seconds firstLockout{60};
  static constexpr std::chrono::seconds longestLockout{3600};
  static constexpr std::chrono::seconds maxTokenIdleAge{2'592'000};  // 30 days
  static constexpr std::chrono::seconds lastSeenWriteInterval{600};
  static constexpr std::chrono::seconds pinMaxAge{300};   // what the host passes to rotation
  static constexpr std::size_t maxDeviceNameLength = 48;  // user-perceived characters
  static constexpr std::string_view incorrectPinReason = "Incorrect PIN.";
  static constexpr std::string_view lockedReason = "Too many attempts. Try again in a minute.";

  // Loads the devices file (a missing or malformed one means no devices; a malformed one is
  // kept aside) and draws the first PIN. Invokes no callback. A save that fails leaves memory
  // authoritative and is written again by the folder's retries: a revoke is never undone.
  explicit PairingService(StoredFile devicesFile, Clock now = systemClock());

  std::string pin() const;
  std::vector<PairedDevice> pairedDevices() const;

  // A new PIN now; ends a lockout and forgets earlier lockouts.
  void regeneratePin();
  // A new PIN if the current one is at least `maxAge` old; earlier lockouts still count.
  bool rotatePinIfStale(std::chrono::seconds maxAge);

  PinVerification verifyPin(const std::optional<std::string>& pin);
  PairingResult pair(const std::optional<std::string>& pin,
                     const std::optional<std::string>& deviceName);
  // Pairs a device without a PIN (after the host user approved it) and uses up the PIN.
  IssuedToken issueToken(const std::optional<std::string>& deviceName);

  // The device owning the token, with `lastSeenAt` refreshed; nothing for unknown tokens and for
  // devices idle longer than maxTokenIdleAge, which are forgotten on the spot.
  std::optional<PairedDevice> validate(const std::optional<std::string>& token);
  std::optional<PairedDevice> device(const Uuid& id) const;
  void revoke(const Uuid& id);
  void revokeAll();

  // Exposed for the server and tests: the rules every token and name go through.
  static std::string generateToken();
  static std::string tokenHash(std::string_view token);
  static std::string sanitize(const std::optional<std::string>& name);
  // Time independent of where the strings differ; only a length difference answers early.
  static bool constantTimeEquals(std::string_view a, std::string_view b);

  std::function<void()> onDevicesChange;
  std::function<void()> onPinChange;
  std::function<void(const PairedDevice&)> onDevicePaired;

 private:
  void regeneratePinLocked();
  void saveDevicesLocked() const;

  const StoredFile devicesFile_;
  const Clock now_;

  mutable std::mutex lock_;
  std::vector<PairedDevice> devices_;
  std::string pinValue_;
  Date pinIssuedAt_;
  int failedAttempts_ = 0;
  int lockoutCount_ = 0;
  Date lockedUntil_ = Date::min();  // PIN entry is refused while now is earlier
  std::optional<Date> lastPersistedSeenAt_;
};

}  // namespace tavelin
