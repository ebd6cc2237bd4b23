#pragma once

#include <system_error>

namespace tavelin {

// Why the server could not do what it was asked; the category is named "tavelin.server".
enum class ServerError { couldNotBind = 1 };
const std::error_category& serverErrorCategory();
inline std::error_code make_error_code(ServerError e) {
  return {static_cast<int>(e), serverErrorCategory()};
}

}  // namespace tavelin

template <>
struct std::is_error_code_enum<tavelin::ServerError> : std::true_type {};
