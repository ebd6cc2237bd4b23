#include "TavelinServer/ServerErrors.hpp"

#include <string>

namespace tavelin {

namespace {

class ServerErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "tavelin.server"; }
  std::string message(int) const override { return "could not bind a port"; }
};

}  // namespace

const std::error_category& serverErrorCategory() {
  static const ServerErrorCategory category;
  return category;
}

}  // namespace tavelin
