#include "TavelinHost/App/AppSettings.hpp"

#include <mutex>

namespace tavelin {

struct AppSettings::Cell {
  mutable std::mutex lock;
  HostSettings value;  // guarded by lock

  HostSettings get() const {
    std::lock_guard guard(lock);
    return value;
  }
  void set(const HostSettings& settings) {
    std::lock_guard guard(lock);
    value = settings;
  }
};

AppSettings::AppSettings(StoredFile file)
    : file_(std::move(file)), value_(HostSettings::load(file_)), shared_(std::make_shared<Cell>()) {
  shared_->set(value_);
}

void AppSettings::update(const HostSettings& settings) {
  if (value_ == settings) return;
  value_ = settings;
  shared_->set(value_);
  value_.save(file_);
  Q_EMIT changed();
}

void AppSettings::setRequireApproval(bool required) {
  HostSettings changed = value_;
  changed.requireApproval = required;
  update(changed);
}

std::function<HostSettings()> AppSettings::reader() const {
  return [cell = shared_] { return cell->get(); };
}

}  // namespace tavelin
