#pragma once
// Making the program's context: the records, and the callbacks through
// which the lower layers reach the program (a fatal exit closes the station,
// the directory replays its waiting requests, the sender tells the
// controller).

#include <memory>

class Host;
struct Context;

// The records are large (the listener table, the resend store, the queue):
// a Context lives on the heap.
std::unique_ptr<Context> make_context(Host& host);
