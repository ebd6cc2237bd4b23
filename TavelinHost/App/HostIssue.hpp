#pragma once

#include <QString>
#include <optional>

namespace tavelin {

// One banner of the window: something that keeps phones from working, and what to do.
struct HostIssue {
  enum class Kind { screenCapture, firewall, storage, address };
  enum class Tone { warning, error };
  Kind kind;
  QString title;
  QString detail;
  QString iconName;
  Tone tone;
  std::optional<QString> command;  // a command that fixes it, for the user to copy
};

}  // namespace tavelin
