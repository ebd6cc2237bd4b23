#pragma once

#include <functional>
#include <string_view>

namespace tavelin {

// Where a service writes its log lines: a category ("Capture", "Input", …) and a message.
using HostLogSink = std::function<void(std::string_view category, std::string_view message)>;

}  // namespace tavelin
