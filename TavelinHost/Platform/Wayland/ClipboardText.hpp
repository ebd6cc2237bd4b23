#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text through a Wayland clipboard: which types carry it, and the pipes it travels in.
namespace tavelin::wayland {

// The text types applications offer and ask for, best first.
const std::vector<std::string>& clipboardTextTypes();
bool isTextType(std::string_view type);
// The best text type among those offered; empty when none is text.
std::string bestTextType(const std::vector<std::string>& offered);

// Reads the pipe to its end. Nothing when the writer stops for `waitMilliseconds` before the
// end or the read fails, or when more than `limit` bytes come (then `tooLong` is set). The
// descriptor stays open.
std::optional<std::string> readPipe(int fd, std::size_t limit, int waitMilliseconds, bool& tooLong);
// False when the reader went away before all of it was written.
bool writeAll(int fd, std::string_view bytes);

}  // namespace tavelin::wayland
