// The two-way byte relay of an established tunnel.
#pragma once

#include "algsocket.h"

namespace alg {

// Copies bytes both ways between `client` and `server` until both directions have ended. One
// wait covers both sockets and the quit signal of the client's pool, so an idle tunnel sleeps
// until data or a stop arrives (without a pool, the wait is cut into 100 ms slices that watch
// the sockets' quit flags); a stop throws TerminationEvent. The end of one direction is passed
// on as a half close (shutdown for writing) of the other socket; what was read is always
// written completely first. There is no idle time-out; `timeout` bounds each wait for a peer
// to take data.
// Once one direction has ended, a socket error on either side ends the relay quietly: a reset
// or a closed peer is then the tunnel's normal end. Before that, socket errors propagate.
void RelayStreams(AlgSocket& client, AlgSocket& server, unsigned int timeout);

}  // namespace alg
