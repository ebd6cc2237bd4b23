#pragma once

#include <asio/thread_pool.hpp>

namespace tavelin {

// The one thread pool behind every serial queue, sockets and timers included. It is created
// on first use and stopped and joined when the process exits.
asio::thread_pool& dispatchPool();

}  // namespace tavelin
