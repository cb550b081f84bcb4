// The single outgoing TCP connection and its line-buffered reader.
// One connection at a time, no connection object: the handle, the 1024-byte
// receive buffer and its two counters are module state.
#pragma once

#include <cstdint>

// How long the status line and the headers may keep the user-interface thread
// waiting: the window is not served then, so a server that accepts and never
// answers must not hang the program. The body has no time-out of ours (the
// user can cancel it). Tests shorten socket_header_timeout_ms.
const int SOCKET_HEADER_TIMEOUT_MS = 60000;
extern int socket_header_timeout_ms;
// How long a connection may take to be made: a host that never answers (a
// firewall that drops, an address nobody has) must not hold the window either.
// Tests shorten socket_connect_timeout_ms.
const int SOCKET_CONNECT_TIMEOUT_MS = 30000;
extern int socket_connect_timeout_ms;

// What the receives since the last socket_open ran into. Sticky until the next
// socket_open, so that a caller can tell the peer's close (SOCKET_RECV_OK)
// from a failed receive after socket_readline/socket_read came back short.
// SOCKET_RECV_CUT: a TLS stream ended without close_notify, which someone on
// the path can do to cut a body short.
enum SocketRecvState { SOCKET_RECV_OK = 0, SOCKET_RECV_FAILED = 1, SOCKET_RECV_TIMED_OUT = 2, SOCKET_RECV_CUT = 3 };

// What the last socket_open ran into, so that a caller can say which step failed.
enum SocketOpenState {
  SOCKET_OPEN_OK = 0,
  SOCKET_OPEN_NO_ADDRESS = 1,  // the name did not resolve
  SOCKET_OPEN_NO_SOCKET = 2,   // no socket could be made
  SOCKET_OPEN_NO_CONNECTION = 3,
  SOCKET_OPEN_TIMED_OUT = 4,   // the host gave no answer within socket_connect_timeout_ms
  SOCKET_OPEN_TLS_FAILED = 5   // socket_start_tls: the handshake or the certificate failed
};

void socket_init();
void socket_done();
// Connects to host (a name, or dotted-quad text taken without a lookup) on port.
// 0 connected, -1 failed (logged).
int socket_open(const char* host, int port);
// The last socket_open's SocketOpenState, and the line it logged about its
// failure ("" once connected).
int socket_open_state();
const char* socket_open_failure();
// TLS over the open connection, as a client of host (the name the certificate
// must carry); the handshake's receives wait at most timeout_ms. 0, or -1 with
// the failure logged, socket_open_state() SOCKET_OPEN_TLS_FAILED and
// socket_tls_failure() the PlatTlsFailure. Later reads and writes go through TLS.
int socket_start_tls(const char* host, int timeout_ms);
int socket_tls_failure();
// Logs "socket_close" and closes the connection if one is open.
void socket_close();
// The same, from another thread while the worker is blocked in socket_read:
// the blocked receive returns; the worker's TLS session is left to it.
void socket_interrupt();
// Formats without a fixed bound and sends every byte (a short send is
// continued). Returns the bytes sent, or -1 when a send failed.
int socket_printf(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
// One receive into the free part of the buffer; bytes added, 0 when none were.
int socket_fill();
// The next line (terminators stripped) inside the receive buffer, valid until
// the next reader call. Over-long lines come in 1024-byte pieces; once the
// stream has ended and nothing is held, an empty line.
char* socket_readline();
// Held bytes first, then straight from the connection, until size bytes or the
// stream ends; socket_recv_state() tells a close from a failure.
int socket_read(char* dst, int size);
// Held bytes first, else one receive straight into dst: what is there now, up
// to size; 0 once the stream has ended or a receive failed.
int socket_read_some(char* dst, int size);

// One deadline, ms from now, for every later receive on the open connection
// (0 = none again). Once it has passed, or a receive has failed, no receive
// is made on this connection any more.
void socket_set_deadline(int ms);
// 1 when the last line socket_readline handed out ended with its line feed;
// 0 when it was cut by a full buffer, the stream's end or a failed receive.
int socket_line_whole();
// 1 when the last line socket_readline handed out is the rest of a line whose
// first part came out as a full buffer; 0 for a line of its own.
int socket_line_continues();
int socket_recv_state();
// Reads "%d.%d.%d.%d" (trailing text ignored); each number gives its low 8 bits.
// 0 with the address in network byte order, -1 when host is not such text.
int socket_parse_ipv4(const char* host, uint32_t* addr_be);
