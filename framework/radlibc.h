// The RADIUS client's UDP side over IPv4, with C linkage: opening the client socket, the
// host's own address, and one exchange with time-outs and retries that takes only the answer
// to its own request. Functions return 0 (or a count) on success and a negative code otherwise;
// where they have an `err` out-parameter it receives errno of a failed system call. Nothing
// here throws, logs or keeps state; any thread may call, each exchange on a socket of its own.
#pragma once

#include <netinet/in.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    RAD_OK = 0,
    RAD_ERR_SYSTEM = -1,   // a system call failed; `err` holds its errno
    RAD_ERR_RECEIVE = -2,  // receiving failed during an exchange
    RAD_ERR_TIMEOUT = -5,  // no answer to this request within the time-out (`err` ETIMEDOUT)
    RAD_ERR_FOREIGN = -10,  // a datagram that is not the answer to this request
    RAD_ERR_QUIT = -11      // the caller's quit descriptor became readable during a wait
};

// A non-blocking, close-on-exec UDP socket bound to the wildcard address and `localPort`
// (host order, 0 for any). Returns the descriptor, or -1 with errno in `*err`.
int OpenRadiusSocket(unsigned short localPort, int* err);

// `host` (a dotted IPv4 address or a host name, whose first IPv4 address is taken) and `port`
// (host order) as a socket address. Returns 0, or -1 with `*out` set to 0.0.0.0 and `port`
// when the name does not resolve (`*err` EHOSTUNREACH).
int ResolveRadiusServer(const char* host, unsigned short port, struct sockaddr_in* out, int* err);

// Opens the authentication socket (bound to localPorts[0]) and sets `authServer` from
// `authHost`:`authPort`; a name that does not resolve leaves 0.0.0.0 and is not a failure.
// When the accounting host and port equal the authentication ones, that socket serves both:
// `acctFd` is not touched and localPorts[0] stays as given. Otherwise the accounting socket is
// opened (bound to localPorts[1] when localPorts[0] was not 0), `acctServer` set likewise, and a
// localPorts[0] of 0 receives the authentication socket's bound port. Returns 0, or -1 with
// nothing left open.
int InitRadiusSocket(int* authFd, struct sockaddr_in* authServer, int* acctFd,
                     struct sockaddr_in* acctServer, const char* authHost, const char* acctHost,
                     unsigned short* localPorts, unsigned short authPort, unsigned short acctPort,
                     int* err);

// Closes `authFd` and, when it is another descriptor (and not negative), `acctFd`.
void TermRadiusSocket(int authFd, int acctFd);

// The host's own IPv4 address (network byte order) from its name; when the name gives none,
// 127.0.0.1 and -1.
int GetLocalIP(unsigned int* address);

// The local IPv4 address (network byte order) the host would send to `server` from, found
// without sending anything; when there is no route, GetLocalIP's answer and its result.
int GetLocalIPTowards(const struct sockaddr_in* server, unsigned int* address);

// Sends the packet (as long as its length field says) to `server`. Returns 0 or -1.
int SendRadiusRequest(int fd, const struct sockaddr_in* server, const char* packet, int* err);

// Waits at most `timeoutMs` milliseconds for one datagram and receives at most `size` bytes of
// it into `buffer`, its sender into `from`; a signal that interrupts the wait does not shorten
// it. Returns the bytes received, RAD_ERR_TIMEOUT when none came, or RAD_ERR_SYSTEM.
int ReceiveRadiusReply(int fd, struct sockaddr_in* from, char* buffer, int size, int timeoutMs,
                       int* err);

// Sends the Access-Request `packet` to `server` up to `retries` + 1 times and waits
// `timeoutSeconds` (10 when 0 or less) after each send for its answer, received into `reply`
// (`size` bytes, never over the request). Only a datagram from the server's address and port
// that CheckRadiusReply finds to be the answer under `secret` counts; anything else is dropped
// and the wait goes on within the same time-out. Returns 0 with the answer's code in `*result`,
// RAD_ERR_SYSTEM when sending fails, RAD_ERR_RECEIVE when receiving fails, RAD_ERR_TIMEOUT
// when no attempt brought the answer (`*result` is RAD_ERR_FOREIGN when something else came).
int SendRecvRadiusPkt(int fd, const struct sockaddr_in* server, const char* packet,
                      const char* secret, char* reply, int size, struct sockaddr_in* from,
                      int retries, int timeoutSeconds, int* result);

// SendRecvRadiusPkt whose waits also watch `quitFd` (none when -1): once it is readable the
// exchange ends with RAD_ERR_QUIT, so that a caller being stopped need not sit out a silent
// server's time-outs.
int SendRecvRadiusPktUntil(int fd, int quitFd, const struct sockaddr_in* server,
                           const char* packet, const char* secret, char* reply, int size,
                           struct sockaddr_in* from, int retries, int timeoutSeconds, int* result);

#ifdef __cplusplus
}
#endif
