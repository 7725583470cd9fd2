// The DNS servers the machine's network services name, read without
// privileges: what the state needs to tell "not using the filter" apart.
#pragma once

#include "app/core/snapshot.h"

namespace tranca::platform {
class NetworkStore;
}

namespace amparo {

// The DNS servers of a store's services: the primary service's list alone
// when the store names one, else every enabled service's list.
ServiceServers readServiceServers(tranca::platform::NetworkStore& store);
// The same for this machine's store, read-only; empty when it cannot be opened.
ServiceServers systemServiceServers();

}  // namespace amparo
