#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace tavelin {

// Writes the whole file or leaves the old one in place: the bytes go to `target` + ".tmp"
// (mode 0600), are flushed to disk, and the temporary file is renamed over the target; the
// directory is flushed after the rename. On failure the temporary file is removed.
std::error_code writeFileAtomically(const std::filesystem::path& target, std::string_view bytes);

// The whole file, or nothing when it cannot be read or is larger than `maxBytes`.
std::optional<std::string> readWholeFile(const std::filesystem::path& path,
                                         std::size_t maxBytes = std::size_t{64} << 20);

// Creates the directory and any missing parents; new directories get mode 0700 because
// what the host keeps includes credentials' hashes. Existing directories are left as they are.
std::error_code createPrivateDirectories(const std::filesystem::path& directory);

}  // namespace tavelin
