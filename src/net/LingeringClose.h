#pragma once
// The end of a graceful close, after the socket object has let go of its
// descriptor: what was still queued goes out, the stream ends, and input is
// read and discarded until the peer ends its side too; only then is the
// descriptor closed.  Closing with input still arriving would make the
// system answer with a reset, which destroys our own last bytes at the peer.
//
// It runs on the calling thread's loop.  A peer that never reads or never
// closes cannot keep the descriptor for ever, and the end of the thread (or
// of the program, for the main thread) finishes what is left before the
// loop goes away: all of that thread's closes together, within one shared
// deadline of 5 s, however many there are.

#include <string>

namespace qordex {

// Takes over `fd` (non-blocking, connected) with the bytes still to send.
void CloseGracefully(int fd, std::string pending);

} // namespace qordex
