#include "TavelinKit/Pairing/PairingService.hpp"

#include <algorithm>
#include <cstdio>

#include "TavelinKit/Foundation/Crypto.hpp"
#include "TavelinKit/Foundation/UnicodeText.hpp"

namespace tavelin {

PairingService::PairingService(StoredFile devicesFile, Clock now)
    : devicesFile_(std::move(devicesFile)), now_(std::move(now)) {
  std::lock_guard guard(lock_);
  devicesFile_.load([&](std::string_view text) {
    auto devices = decodeDeviceList(text);
    if (!devices) return false;
    devices_ = std::move(*devices);
    // Names stored by an older host may still hold what no name may hold now.
    for (auto& device : devices_) device.name = sanitize(device.name);
    return true;
  });
  regeneratePinLocked();
}

std::string PairingService::pin() const {
  std::lock_guard guard(lock_);
  return pinValue_;
}

std::vector<PairedDevice> PairingService::pairedDevices() const {
  std::lock_guard guard(lock_);
  return devices_;
}

void PairingService::regeneratePinLocked() {
  char text[8];
  std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(randomUniform(1'000'000)));
  pinValue_ = text;
  pinIssuedAt_ = now_();
  failedAttempts_ = 0;
  lockedUntil_ = Date::min();
}

void PairingService::regeneratePin() {
  {
    std::lock_guard guard(lock_);
    regeneratePinLocked();
    lockoutCount_ = 0;
  }
  if (onPinChange) onPinChange();
}

bool PairingService::rotatePinIfStale(std::chrono::seconds maxAge) {
  {
    std::lock_guard guard(lock_);
    if (secondsBetween(pinIssuedAt_, now_()) < static_cast<double>(maxAge.count())) return false;
    regeneratePinLocked();
  }
  if (onPinChange) onPinChange();
  return true;
}

PairingService::PinVerification PairingService::verifyPin(const std::optional<std::string>& pin) {
  std::lock_guard guard(lock_);
  const Date now = now_();
  if (now < lockedUntil_) return PinVerification::locked;
  if (constantTimeEquals(unicode::trimWhitespaceAndNewlines(pin.value_or("")), pinValue_)) {
    failedAttempts_ = 0;
    lockoutCount_ = 0;
    return PinVerification::ok;
  }
  if (++failedAttempts_ < pinAttemptsBeforeLockout) return PinVerification::incorrect;
  // Each lockout doubles the last; the shift is capped well before it could overflow.
  const auto length = std::min<std::chrono::seconds>(
      firstLockout * (std::int64_t{1} << std::min(lockoutCount_, 16)), longestLockout);
  ++lockoutCount_;
  lockedUntil_ = now + length;
  failedAttempts_ = 0;
  return PinVerification::incorrect;
}

PairingResult PairingService::pair(const std::optional<std::string>& pin,
                                   const std::optional<std::string>& deviceName) {
  switch (verifyPin(pin)) {
    case PinVerification::ok: return issueToken(deviceName);
    case PinVerification::incorrect: return PairingFailure{std::string(incorrectPinReason)};
    case PinVerification::locked: return PairingFailure{std::string(lockedReason)};
  }
  return PairingFailure{std::string(incorrectPinReason)};
}

IssuedToken PairingService::issueToken(const std::optional<std::string>& deviceName) {
  IssuedToken issued;
  {
    std::lock_guard guard(lock_);
    issued.token = generateToken();
    const Date pairedAt = now_();
    issued.device = PairedDevice{Uuid::random(), sanitize(deviceName), tokenHash(issued.token),
                                 pairedAt, now_()};
    devices_.push_back(issued.device);
    saveDevicesLocked();
  }
  if (onDevicesChange) onDevicesChange();
  if (onDevicePaired) onDevicePaired(issued.device);
  {
    std::lock_guard guard(lock_);
    regeneratePinLocked();
    lockoutCount_ = 0;
  }
  if (onPinChange) onPinChange();
  return issued;
}

std::optional<PairedDevice> PairingService::validate(const std::optional<std::string>& token) {
  if (!token || token->empty()) return std::nullopt;
  const std::string hash = tokenHash(*token);
  std::lock_guard guard(lock_);
  const auto found = std::find_if(devices_.begin(), devices_.end(), [&](const PairedDevice& d) {
    return constantTimeEquals(d.tokenHash, hash);
  });
  if (found == devices_.end()) return std::nullopt;
  const Date now = now_();
  if (secondsBetween(found->lastSeenAt, now) > static_cast<double>(maxTokenIdleAge.count())) {
    devices_.erase(found);
    saveDevicesLocked();
    return std::nullopt;
  }
  found->lastSeenAt = now;
  PairedDevice device = *found;
  if (!lastPersistedSeenAt_ || secondsBetween(*lastPersistedSeenAt_, now) >
                                   static_cast<double>(lastSeenWriteInterval.count())) {
    lastPersistedSeenAt_ = now;
    saveDevicesLocked();
  }
  return device;
}

std::optional<PairedDevice> PairingService::device(const Uuid& id) const {
  std::lock_guard guard(lock_);
  const auto found = std::find_if(devices_.begin(), devices_.end(),
                                  [&](const PairedDevice& d) { return d.id == id; });
  if (found == devices_.end()) return std::nullopt;
  return *found;
}

void PairingService::revoke(const Uuid& id) {
  {
    std::lock_guard guard(lock_);
    std::erase_if(devices_, [&](const PairedDevice& d) { return d.id == id; });
    saveDevicesLocked();
  }
  if (onDevicesChange) onDevicesChange();
}

void PairingService::revokeAll() {
  {
    std::lock_guard guard(lock_);
    devices_.clear();
    saveDevicesLocked();
  }
  if (onDevicesChange) onDevicesChange();
}

void PairingService::saveDevicesLocked() const {
  const auto encoded = encodeDeviceList(devices_);
  if (encoded) devicesFile_.save(*encoded);
}

std::string PairingService::generateToken() { return base64URLEncode(randomBytes(32)); }

std::string PairingService::tokenHash(std::string_view token) {
  return base64Encode(sha256(token));
}

std::string PairingService::sanitize(const std::optional<std::string>& name) {
  if (!name) return "Phone";
  std::string cleaned = unicode::prefixGraphemes(
      unicode::removeControls(unicode::trimWhitespaceAndNewlines(*name)), maxDeviceNameLength);
  return cleaned.empty() ? "Phone" : cleaned;
}

bool PairingService::constantTimeEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  // volatile keeps the compiler from turning the loop into an early-exit comparison.
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    difference = difference | static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

}  // namespace tavelin
