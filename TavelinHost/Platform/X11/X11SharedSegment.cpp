#include "TavelinHost/Platform/X11/X11SharedSegment.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <utility>

#include "TavelinHost/Platform/X11/X11Connection.hpp"

namespace tavelin::x11 {

SharedSegment::SharedSegment(std::shared_ptr<Connection> x, std::size_t size) : x_(std::move(x)) {
  xcb_connection_t* c = x_->get();
  id_ = ::shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (id_ < 0) return;
  void* address = ::shmat(id_, nullptr, 0);
  ::shmctl(id_, IPC_RMID, nullptr);
  if (address == reinterpret_cast<void*>(-1)) return;
  data_ = static_cast<std::uint8_t*>(address);
  segment_ = xcb_generate_id(c);
  auto error = own(xcb_request_check(
      c, xcb_shm_attach_checked(c, segment_, static_cast<std::uint32_t>(id_), 0)));
  if (error) {
    ::shmdt(data_);
    data_ = nullptr;
    return;
  }
  size_ = size;
}

SharedSegment::~SharedSegment() {
  if (!data_) return;
  xcb_shm_detach(x_->get(), segment_);
  xcb_flush(x_->get());
  ::shmdt(data_);
}

}  // namespace tavelin::x11
