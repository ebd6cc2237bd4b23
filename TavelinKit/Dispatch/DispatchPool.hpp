#pragma once

#include <asio/strand.hpp>
#include <asio/thread_pool.hpp>

#include "TavelinKit/Dispatch/SerialQueue.hpp"

namespace tavelin {

using Strand = asio::strand<asio::thread_pool::executor_type>;

// The one thread pool behind every serial queue, sockets and timers included. It is created
// on first use and stopped and joined when the process exits.
asio::thread_pool& dispatchPool();

// The strand behind a queue, for binding sockets and timers to it.
Strand strandOf(const SerialQueue& queue);

}  // namespace tavelin
