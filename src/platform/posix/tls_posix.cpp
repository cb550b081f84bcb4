// POSIX side of the seam's TLS: OpenSSL's libssl. Its records travel through
// plat_recv and plat_send (a BIO of our own), so a receive time-out and a
// close from another thread act on a TLS connection as on a plain one.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace {
struct Session {
  SSL* ssl = nullptr;
  plat_socket socket = PLAT_INVALID_SOCKET;
  bool eof = false;  // the socket's stream ended (with or without close_notify)
};

int bio_read(BIO* bio, char* out, int len) {
  Session* s = static_cast<Session*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  int n = plat_recv(s->socket, out, len);
  if (n == 0) s->eof = true;
  return n;
}

int bio_write(BIO* bio, const char* data, int len) {
  Session* s = static_cast<Session*>(BIO_get_data(bio));
  BIO_clear_retry_flags(bio);
  return plat_send(s->socket, data, len);
}

long bio_ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

SSL_CTX* context = nullptr;
BIO_METHOD* method = nullptr;

void start_library() {
  // The machine's trust store (SSL_CERT_FILE and SSL_CERT_DIR name another,
  // as for every program on the system's OpenSSL); TLS 1.2 at least.
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return;
  if (SSL_CTX_set_default_verify_paths(ctx) != 1 || SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
    SSL_CTX_free(ctx);
    return;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // Records read in large pieces rather than a header and a body at a time:
  // half the receives for a large body.
  SSL_CTX_set_read_ahead(ctx, 1);
  SSL_CTX_set_default_read_buffer_len(ctx, 64 * 1024);
  BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quorvin socket");
  if (!m || BIO_meth_set_read(m, bio_read) != 1 || BIO_meth_set_write(m, bio_write) != 1 ||
      BIO_meth_set_ctrl(m, bio_ctrl) != 1) {
    BIO_meth_free(m);
    SSL_CTX_free(ctx);
    return;
  }
  context = ctx;
  method = m;
}

bool is_ipv4_literal(const char* host) {
  in_addr addr;
  return inet_pton(AF_INET, host, &addr) == 1;
}

int failure_of_verify(long result) {
  switch (result) {
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
      return PLAT_TLS_UNKNOWN_ISSUER;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return PLAT_TLS_NAME_MISMATCH;
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return PLAT_TLS_EXPIRED;
    case X509_V_ERR_CERT_REVOKED:
      return PLAT_TLS_REVOKED;
    default:
      return PLAT_TLS_BAD_CERTIFICATE;
  }
}

int failure_of_error(unsigned long error) {
  switch (ERR_GET_REASON(error)) {
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_NO_PROTOCOLS_AVAILABLE:
    case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
    case SSL_R_NO_SHARED_CIPHER:
    case SSL_R_NO_CIPHERS_AVAILABLE:
    case SSL_R_SSLV3_ALERT_HANDSHAKE_FAILURE:
      return PLAT_TLS_NO_COMMON_PROTOCOL;
    default:
      return PLAT_TLS_HANDSHAKE_FAILED;
  }
}
}  // namespace

plat_tls plat_tls_connect(plat_socket s, const char* host, int* failure, std::string* detail) {
  static std::once_flag once;
  std::call_once(once, start_library);
  *failure = PLAT_TLS_UNAVAILABLE;
  detail->clear();
  if (!context) return nullptr;
  ERR_clear_error();
  Session* session = new Session;
  session->socket = s;
  session->ssl = SSL_new(context);
  BIO* bio = session->ssl ? BIO_new(method) : nullptr;
  if (!bio) {
    SSL_free(session->ssl);
    delete session;
    return nullptr;
  }
  BIO_set_data(bio, session);
  BIO_set_init(bio, 1);
  SSL_set_bio(session->ssl, bio, bio);
  // No Server Name Indication for an address: the name is what is checked.
  bool address = is_ipv4_literal(host);
  if (!address) SSL_set_tlsext_host_name(session->ssl, host);
  X509_VERIFY_PARAM* param = SSL_get0_param(session->ssl);
  int named = address ? X509_VERIFY_PARAM_set1_ip_asc(param, host) : X509_VERIFY_PARAM_set1_host(param, host, 0);
  if (named == 1 && SSL_connect(session->ssl) == 1) {
    *failure = PLAT_TLS_OK;
    return session;
  }
  long verified = SSL_get_verify_result(session->ssl);
  unsigned long error = ERR_peek_last_error();
  if (verified != X509_V_OK) {
    *failure = failure_of_verify(verified);
    *detail = X509_verify_cert_error_string(verified);
  } else {
    *failure = failure_of_error(error);
    if (error != 0) {
      char text[256];
      ERR_error_string_n(error, text, sizeof text);
      *detail = text;
    } else if (session->eof) {
      *detail = "the server closed the connection";
    } else if (plat_recv_timed_out()) {
      *detail = "no answer in time";
    }
  }
  ERR_clear_error();
  SSL_free(session->ssl);
  delete session;
  return nullptr;
}

int plat_tls_send(plat_tls t, const char* data, int len) {
  Session* s = static_cast<Session*>(t);
  ERR_clear_error();
  int sent = 0;
  while (sent < len) {
    int n = SSL_write(s->ssl, data + sent, len - sent);
    if (n <= 0) return -1;
    sent += n;
  }
  return len;
}

int plat_tls_recv(plat_tls t, char* data, int len) {
  Session* s = static_cast<Session*>(t);
  ERR_clear_error();
  int n = SSL_read(s->ssl, data, len);
  if (n > 0) return n;
  int error = SSL_get_error(s->ssl, n);
  ERR_clear_error();
  if (error == SSL_ERROR_ZERO_RETURN) return 0;
  return s->eof ? PLAT_TLS_CUT : -1;
}

void plat_tls_free(plat_tls t) {
  Session* s = static_cast<Session*>(t);
  if (!s) return;
  SSL_free(s->ssl);
  delete s;
}
