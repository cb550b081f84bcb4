// Win32 side of the seam's TLS: Schannel through SSPI for the records, CryptoAPI
// for the server's chain, which is checked here rather than by Schannel so that
// each fault can be told apart.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // SCH_CREDENTIALS, the only way to TLS 1.3
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS
#include <windows.h>
#include <subauth.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/platform.h"

namespace {
// The largest record TLS allows: header, 2^14 bytes and the most a cipher may add.
const size_t kRecordMax = 5 + 16384 + 2048;
// A handshake may need more than one record before Schannel can go on; past
// this, or that many calls, the peer is taken to be talking nonsense.
const size_t kHandshakeInputMax = 4 * kRecordMax;
const int kHandshakeCallsMax = 200;
const size_t kHandshakeBytesMax = 1 << 20;

enum State { OPEN, CLOSED, CUT, BROKEN };

struct Session {
  plat_socket s = PLAT_INVALID_SOCKET;
  CredHandle cred;
  CtxtHandle ctx;
  bool have_cred = false, have_ctx = false, tls13 = false;
  State state = OPEN;
  SecPkgContext_StreamSizes sizes;
  std::vector<char> in;  // received, not yet decrypted: in[0, in_len)
  size_t in_len = 0;
  std::vector<char> plain;  // decrypted, not yet taken: plain[plain_pos, plain.size())
  size_t plain_pos = 0;
  std::vector<char> out;  // one encrypted record being sent
};

const DWORD kTls12 = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_2_SERVER;
const DWORD kTls13 = SP_PROT_TLS1_3_CLIENT | SP_PROT_TLS1_3_SERVER;
const DWORD kCredFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

// TLS 1.2 and 1.3 through SCH_CREDENTIALS (what Windows 11 wants for 1.3), then
// through the older SCHANNEL_CRED, then 1.2 alone: a system that knows no 1.3
// may refuse credentials that ask for it. Wine 8 takes SCH_CREDENTIALS but not
// its disabled protocols (it settles on TLS 1.1 with a server that offers no
// more), so the protocol is checked again after the handshake.
int acquire(Session* t, SECURITY_STATUS* status) {
  TLS_PARAMETERS params;
  std::memset(&params, 0, sizeof params);
  params.grbitDisabledProtocols = ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
  SCH_CREDENTIALS modern;
  std::memset(&modern, 0, sizeof modern);
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = kCredFlags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &params;
  SCHANNEL_CRED both, only12;
  std::memset(&both, 0, sizeof both);
  both.dwVersion = SCHANNEL_CRED_VERSION;
  both.dwFlags = kCredFlags;
  both.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
  only12 = both;
  only12.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  void* tries[] = {&modern, &both, &only12};
  for (void* auth : tries) {
    TimeStamp expiry;
    *status = AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                        SECPKG_CRED_OUTBOUND, nullptr, auth, nullptr, nullptr,
                                        &t->cred, &expiry);
    if (*status == SEC_E_OK) {
      t->have_cred = true;
      return 0;
    }
  }
  return -1;
}

int send_all(plat_socket s, const char* data, size_t len) {
  while (len > 0) {
    int n = plat_send(s, data, static_cast<int>(len));
    if (n <= 0) return -1;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// Whether the bytes at a record's start can be one: a content type of TLS,
// major version 3, a length TLS allows. Anything else (an HTTP server's answer
// to the hello, say) would otherwise be waited on as the start of a long record.
bool record_start_ok(const std::vector<char>& in, size_t len) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(in.data());
  return (len < 1 || (p[0] >= 20 && p[0] <= 23)) && (len < 2 || p[1] == 3) &&
         (len < 5 || static_cast<size_t>((p[3] << 8) | p[4]) <= kRecordMax - 5);
}

// What went wrong in the handshake's exchange, besides the system's status.
enum Exchange {
  EX_DONE, EX_STATUS, EX_TIMED_OUT, EX_RECV_FAILED, EX_SEND_FAILED, EX_CLOSED, EX_NOT_TLS, EX_TOO_LONG
};
const char* const kExchangeTexts[] = {"", "", "no answer in time", "receive failed", "send failed",
                                      "connection closed", "not TLS", "too long"};

// Runs InitializeSecurityContext until the handshake (or a post-handshake
// message of TLS 1.3) is done, feeding it t->in (first as it is, even empty)
// and reading more as it asks. Bytes after the handshake are left in t->in.
Exchange exchange(Session* t, const wchar_t* target, SECURITY_STATUS* status) {
  const ULONG want = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                     ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM | ISC_REQ_EXTENDED_ERROR |
                     ISC_REQ_MANUAL_CRED_VALIDATION;
  bool need_input = false;
  size_t received = 0;
  for (int calls = 0; calls < kHandshakeCallsMax; ++calls) {
    if (need_input) {
      if (t->in_len == t->in.size()) {
        if (t->in.size() >= kHandshakeInputMax) return EX_TOO_LONG;
        t->in.resize(t->in.size() * 2);
      }
      int n = plat_recv(t->s, t->in.data() + t->in_len, static_cast<int>(t->in.size() - t->in_len));
      if (n < 0) return plat_recv_timed_out() ? EX_TIMED_OUT : EX_RECV_FAILED;
      if (n == 0) return EX_CLOSED;
      t->in_len += static_cast<size_t>(n);
      received += static_cast<size_t>(n);
      if (received > kHandshakeBytesMax) return EX_TOO_LONG;
      if (!record_start_ok(t->in, t->in_len)) return EX_NOT_TLS;
    }
    SecBuffer in_bufs[2] = {{static_cast<ULONG>(t->in_len), SECBUFFER_TOKEN, t->in.data()},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc in_desc = {SECBUFFER_VERSION, 2, in_bufs};
    SecBuffer out_bufs[2] = {{0, SECBUFFER_TOKEN, nullptr}, {0, SECBUFFER_ALERT, nullptr}};
    SecBufferDesc out_desc = {SECBUFFER_VERSION, 2, out_bufs};
    ULONG got_attrs = 0;
    const bool had_ctx = t->have_ctx;  // the first call takes no input
    *status = InitializeSecurityContextW(&t->cred, had_ctx ? &t->ctx : nullptr,
                                         const_cast<SEC_WCHAR*>(target), want, 0, 0,
                                         had_ctx ? &in_desc : nullptr, 0, &t->ctx, &out_desc,
                                         &got_attrs, nullptr);
    if (!had_ctx && (*status == SEC_E_OK || *status == SEC_I_CONTINUE_NEEDED)) t->have_ctx = true;
    // What the call made is sent, even an alert after a failure (best effort then).
    int sent = 0;
    for (SecBuffer& b : out_bufs) {
      if (b.pvBuffer) {
        if (b.BufferType == SECBUFFER_TOKEN && b.cbBuffer > 0 && sent == 0)
          sent = send_all(t->s, static_cast<const char*>(b.pvBuffer), b.cbBuffer);
        FreeContextBuffer(b.pvBuffer);
      }
    }
    if (*status == SEC_E_INCOMPLETE_MESSAGE) {
      need_input = true;
      continue;
    }
    if (*status != SEC_E_OK && *status != SEC_I_CONTINUE_NEEDED &&
        *status != SEC_I_INCOMPLETE_CREDENTIALS)
      return EX_STATUS;
    if (sent != 0) return EX_SEND_FAILED;
    // The input was used up but for what the second buffer says is left over.
    if (in_bufs[1].BufferType == SECBUFFER_EXTRA && in_bufs[1].cbBuffer > 0 &&
        in_bufs[1].cbBuffer <= t->in_len) {
      std::memmove(t->in.data(), t->in.data() + t->in_len - in_bufs[1].cbBuffer, in_bufs[1].cbBuffer);
      t->in_len = in_bufs[1].cbBuffer;
    } else if (had_ctx) {
      t->in_len = 0;
    }
    if (*status == SEC_E_OK) return EX_DONE;
    // SEC_I_INCOMPLETE_CREDENTIALS: the server asked for a client certificate;
    // asking again goes on without one.
    need_input = *status == SEC_I_CONTINUE_NEEDED && t->in_len == 0;
  }
  return EX_TOO_LONG;
}

struct Named {
  DWORD code;
  const char* text;
};

const Named kStatusTexts[] = {
    {0x80090302, "unsupported function"},
    {0x80090304, "internal error"},
    {0x80090308, "invalid token"},
    {0x8009030E, "no credentials"},
    {0x80090322, "wrong principal"},
    {0x80090326, "illegal message (an alert or not TLS)"},
    {0x80090327, "certificate unknown"},
    {0x80090331, "no common algorithm"},
    {0x80090350, "downgrade detected"},
    {0x800B0101, "certificate expired"},
    {0x800B0109, "root not trusted"},
    {0x800B010A, "chain incomplete"},
    {0x800B010E, "revocation check failed"},
    {0x800B010F, "name does not match"},
    {0x800B0110, "certificate not for this use"},
    {0x80092010, "certificate revoked"},
    {0x80092012, "no revocation check"},
    {0x80092013, "revocation server offline"},
};

// The chain's error bits, the first that is set named.
const Named kChainTexts[] = {
    {CERT_TRUST_IS_PARTIAL_CHAIN, "issuer unknown"}, {CERT_TRUST_IS_UNTRUSTED_ROOT, "root not trusted"},
    {CERT_TRUST_IS_REVOKED, "revoked"},              {CERT_TRUST_IS_NOT_TIME_VALID, "not valid now"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "bad signature"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "not for server authentication"},
};

// The code in hex, and what it means where known (text, or the table's word).
std::string code_text(DWORD code, const char* text = nullptr) {
  for (const Named& n : kStatusTexts)
    if (!text && n.code == code) text = n.text;
  char buf[96];
  std::snprintf(buf, sizeof buf, "0x%08lX%s%s", static_cast<unsigned long>(code), text ? " " : "",
                text ? text : "");
  return buf;
}

int handshake_failure(SECURITY_STATUS status) {
  switch (static_cast<DWORD>(status)) {
    case 0x80090331:  // SEC_E_ALGORITHM_MISMATCH
    case 0x80090302:  // SEC_E_UNSUPPORTED_FUNCTION
    case 0x80090350:  // SEC_E_DOWNGRADE_DETECTED
      return PLAT_TLS_NO_COMMON_PROTOCOL;
    default:
      return PLAT_TLS_HANDSHAKE_FAILED;
  }
}

const DWORD kRevocationUnknown = CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;

int chain_failure(DWORD status) {
  if (status & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN))
    return PLAT_TLS_UNKNOWN_ISSUER;
  if (status & CERT_TRUST_IS_REVOKED) return PLAT_TLS_REVOKED;
  if (status & CERT_TRUST_IS_NOT_TIME_VALID) return PLAT_TLS_EXPIRED;
  return PLAT_TLS_BAD_CERTIFICATE;
}

int policy_failure(DWORD error) {
  switch (error) {
    case 0x800B0109:  // CERT_E_UNTRUSTEDROOT
    case 0x800B010A:  // CERT_E_CHAINING
      return PLAT_TLS_UNKNOWN_ISSUER;
    case 0x800B010F:  // CERT_E_CN_NO_MATCH
      return PLAT_TLS_NAME_MISMATCH;
    case 0x800B0101:  // CERT_E_EXPIRED
    case 0x800B0102:  // CERT_E_VALIDITYPERIODNESTING
      return PLAT_TLS_EXPIRED;
    case 0x80092010:  // CRYPT_E_REVOKED
      return PLAT_TLS_REVOKED;
    default:
      return PLAT_TLS_BAD_CERTIFICATE;
  }
}

// The server's chain for server authentication, against the system's roots,
// and its names against host.
int check_certificate(Session* t, const wchar_t* host, std::string* detail) {
  PCCERT_CONTEXT cert = nullptr;
  SECURITY_STATUS st = QueryContextAttributesW(&t->ctx, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
  if (st != SEC_E_OK || !cert) {
    *detail = "no server certificate: " + code_text(static_cast<DWORD>(st));
    return PLAT_TLS_BAD_CERTIFICATE;
  }
  LPSTR usage[] = {const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH)};
  CERT_CHAIN_PARA para;
  std::memset(&para, 0, sizeof para);
  para.cbSize = sizeof para;
  para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  para.RequestedUsage.Usage.cUsageIdentifier = 1;
  para.RequestedUsage.Usage.rgpszUsageIdentifier = usage;
  // Revocation servers get 15 s in all, not 15 s each.
  para.dwUrlRetrievalTimeout = 15000;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  int failure = PLAT_TLS_OK;
  if (!CertGetCertificateChain(nullptr, cert, nullptr, cert->hCertStore, &para,
                               CERT_CHAIN_REVOCATION_CHECK_CHAIN_EXCLUDE_ROOT |
                                   CERT_CHAIN_REVOCATION_ACCUMULATIVE_TIMEOUT,
                               nullptr, &chain)) {
    *detail = "no chain: " + code_text(GetLastError());
    failure = PLAT_TLS_BAD_CERTIFICATE;
  } else {
    // Both the chain's own status and the policy's word: Wine 8's policy check
    // passes a chain that ends at an unknown issuer (status 0x10000, partial).
    // A revocation server that could not be asked is no failure; "revoked" is.
    DWORD status = chain->TrustStatus.dwErrorStatus & ~kRevocationUnknown;
    if (status != 0) {
      const char* text = nullptr;
      for (const Named& n : kChainTexts)
        if (!text && (status & n.code)) text = n.text;
      *detail = "chain status " + code_text(status, text);  // no HRESULT is a chain bit
      failure = chain_failure(status);
    } else {
      SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl;
      std::memset(&ssl, 0, sizeof ssl);
      ssl.cbSize = sizeof ssl;
      ssl.dwAuthType = AUTHTYPE_SERVER;
      // Revocation was judged above. Left to the policy, an unknown status
      // hides the name check behind it: Wine 8 answers 0x800B010E for every
      // chain here, whose status says 0x1000040 (offline, status unknown).
      ssl.fdwChecks = 0x00000080;  // SECURITY_FLAG_IGNORE_REVOCATION, of wininet.h
      ssl.pwszServerName = const_cast<wchar_t*>(host);
      CERT_CHAIN_POLICY_PARA policy;
      std::memset(&policy, 0, sizeof policy);
      policy.cbSize = sizeof policy;
      policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
      policy.pvExtraPolicyPara = &ssl;
      CERT_CHAIN_POLICY_STATUS result;
      std::memset(&result, 0, sizeof result);
      result.cbSize = sizeof result;
      if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result)) {
        *detail = "policy check failed: " + code_text(GetLastError());
        failure = PLAT_TLS_BAD_CERTIFICATE;
      } else if (result.dwError != 0) {
        failure = policy_failure(result.dwError);
        *detail = code_text(result.dwError);
      }
    }
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(cert);
  return failure;
}

bool is_ipv4_literal(const char* host) {
  int dots = 0, digits = 0;
  for (const char* p = host; *p; ++p) {
    if (*p == '.') {
      if (digits == 0) return false;
      ++dots;
      digits = 0;
    } else if (*p >= '0' && *p <= '9') {
      if (++digits > 3) return false;
    } else {
      return false;
    }
  }
  return dots == 3 && digits > 0;
}

void free_session(Session* t) {
  if (t->have_ctx) DeleteSecurityContext(&t->ctx);
  if (t->have_cred) FreeCredentialsHandle(&t->cred);
  delete t;
}

// Copies what was decrypted but not yet taken.
int take_plain(Session* t, char* data, int len) {
  size_t n = t->plain.size() - t->plain_pos;
  if (n > static_cast<size_t>(len)) n = static_cast<size_t>(len);
  std::memcpy(data, t->plain.data() + t->plain_pos, n);
  t->plain_pos += n;
  if (t->plain_pos == t->plain.size()) {
    t->plain.clear();
    t->plain_pos = 0;
  }
  return static_cast<int>(n);
}

SecBuffer* find_buffer(SecBuffer* bufs, int count, ULONG type) {
  for (int i = 0; i < count; ++i)
    if (bufs[i].BufferType == type) return &bufs[i];
  return nullptr;
}
}  // namespace

plat_tls plat_tls_connect(plat_socket s, const char* host, int* failure, std::string* detail) {
  *failure = PLAT_TLS_OK;
  detail->clear();
  Session* t = new (std::nothrow) Session;
  int wide_len = MultiByteToWideChar(CP_UTF8, 0, host, -1, nullptr, 0);
  if (!t || wide_len <= 0) {
    delete t;
    *failure = PLAT_TLS_UNAVAILABLE;
    return nullptr;
  }
  std::vector<wchar_t> wide(static_cast<size_t>(wide_len));
  MultiByteToWideChar(CP_UTF8, 0, host, -1, wide.data(), wide_len);
  t->s = s;
  t->in.resize(kRecordMax);
  SECURITY_STATUS st;
  if (acquire(t, &st) != 0) {
    *failure = PLAT_TLS_UNAVAILABLE;
    *detail = "no credentials: " + code_text(static_cast<DWORD>(st));
    free_session(t);
    return nullptr;
  }
  // No Server Name Indication for an address: the name check still sees it.
  Exchange ex = exchange(t, is_ipv4_literal(host) ? nullptr : wide.data(), &st);
  if (ex != EX_DONE) {
    *failure = ex == EX_STATUS ? handshake_failure(st) : PLAT_TLS_HANDSHAKE_FAILED;
    *detail = ex == EX_STATUS ? code_text(static_cast<DWORD>(st)) : kExchangeTexts[ex];
    free_session(t);
    return nullptr;
  }
  SecPkgContext_ConnectionInfo info;
  std::memset(&info, 0, sizeof info);
  st = QueryContextAttributesW(&t->ctx, SECPKG_ATTR_CONNECTION_INFO, &info);
  if (st != SEC_E_OK || !(info.dwProtocol & (kTls12 | kTls13))) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "protocol 0x%lX", static_cast<unsigned long>(info.dwProtocol));
    *failure = PLAT_TLS_NO_COMMON_PROTOCOL;
    *detail = buf;
    free_session(t);
    return nullptr;
  }
  t->tls13 = (info.dwProtocol & kTls13) != 0;
  *failure = check_certificate(t, wide.data(), detail);
  if (*failure == PLAT_TLS_OK) {
    st = QueryContextAttributesW(&t->ctx, SECPKG_ATTR_STREAM_SIZES, &t->sizes);
    if (st != SEC_E_OK) {
      *failure = PLAT_TLS_HANDSHAKE_FAILED;
      *detail = "no stream sizes: " + code_text(static_cast<DWORD>(st));
    }
  }
  if (*failure != PLAT_TLS_OK) {
    free_session(t);
    return nullptr;
  }
  // The handshake may have needed a larger buffer than a record does.
  size_t record = t->sizes.cbHeader + t->sizes.cbMaximumMessage + t->sizes.cbTrailer;
  size_t need = record > kRecordMax ? record : kRecordMax;
  if (t->in.size() > need && t->in_len <= need) {
    t->in.resize(need);
    t->in.shrink_to_fit();
  }
  t->out.resize(record);
  return t;
}

int plat_tls_send(plat_tls h, const char* data, int len) {
  Session* t = static_cast<Session*>(h);
  if (!t || len < 0 || t->state == BROKEN) return -1;
  const size_t header = t->sizes.cbHeader, most = t->sizes.cbMaximumMessage;
  for (int done = 0; done < len;) {
    size_t n = static_cast<size_t>(len - done);
    if (n > most) n = most;
    char* rec = t->out.data();
    std::memcpy(rec + header, data + done, n);
    SecBuffer bufs[4] = {{t->sizes.cbHeader, SECBUFFER_STREAM_HEADER, rec},
                         {static_cast<ULONG>(n), SECBUFFER_DATA, rec + header},
                         {t->sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, rec + header + n},
                         {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
    if (EncryptMessage(&t->ctx, 0, &desc, 0) != SEC_E_OK) return -1;
    if (send_all(t->s, rec, bufs[0].cbBuffer + bufs[1].cbBuffer + bufs[2].cbBuffer) != 0) return -1;
    done += static_cast<int>(n);
  }
  return len;
}

int plat_tls_recv(plat_tls h, char* data, int len) {
  Session* t = static_cast<Session*>(h);
  if (!t || len <= 0) return -1;
  if (t->plain_pos < t->plain.size()) return take_plain(t, data, len);
  if (t->state == CLOSED) return 0;
  if (t->state == CUT) return PLAT_TLS_CUT;
  if (t->state == BROKEN) return -1;
  for (;;) {
    if (!record_start_ok(t->in, t->in_len)) {
      t->state = BROKEN;
      return -1;
    }
    if (t->in_len >= 5) {  // a record's header at least
      const bool alert = t->in[0] == 21;
      SecBuffer bufs[4] = {{static_cast<ULONG>(t->in_len), SECBUFFER_DATA, t->in.data()},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr},
                           {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc desc = {SECBUFFER_VERSION, 4, bufs};
      SECURITY_STATUS st = DecryptMessage(&t->ctx, &desc, 0, nullptr);
      if (st != SEC_E_INCOMPLETE_MESSAGE) {
        if (st != SEC_E_OK && st != SEC_I_CONTEXT_EXPIRED && st != SEC_I_RENEGOTIATE) {
          t->state = BROKEN;
          return -1;
        }
        // The plain text lies in t->in, as may the next record: both are taken
        // out before the next record moves to the front.
        int n = 0;
        SecBuffer* plain = find_buffer(bufs, 4, SECBUFFER_DATA);
        if (plain && plain->cbBuffer > 0) {
          n = plain->cbBuffer < static_cast<ULONG>(len) ? static_cast<int>(plain->cbBuffer) : len;
          std::memcpy(data, plain->pvBuffer, static_cast<size_t>(n));
          t->plain.assign(static_cast<char*>(plain->pvBuffer) + n,
                          static_cast<char*>(plain->pvBuffer) + plain->cbBuffer);
          t->plain_pos = 0;
        }
        SecBuffer* extra = find_buffer(bufs, 4, SECBUFFER_EXTRA);
        size_t rest = extra && extra->cbBuffer <= t->in_len ? extra->cbBuffer : 0;
        std::memmove(t->in.data(), t->in.data() + t->in_len - rest, rest);
        t->in_len = rest;
        // close_notify: SEC_I_CONTEXT_EXPIRED on Windows; under Wine 8 SEC_E_OK
        // with no data for an alert record (an empty data record is passed over).
        if (st == SEC_I_CONTEXT_EXPIRED || (st == SEC_E_OK && n == 0 && alert)) {
          t->state = CLOSED;
          return n;
        }
        if (st == SEC_I_RENEGOTIATE) {
          // Only TLS 1.3's post-handshake messages (tickets, key updates); a
          // TLS 1.2 renegotiation could bring a certificate nobody checked.
          if (!t->tls13 || exchange(t, nullptr, &st) != EX_DONE) {
            t->state = BROKEN;
            return n > 0 ? n : -1;
          }
        }
        if (n > 0) return n;
        continue;
      }
    }
    if (t->in_len == t->in.size()) {  // no record is this long
      t->state = BROKEN;
      return -1;
    }
    int got = plat_recv(t->s, t->in.data() + t->in_len, static_cast<int>(t->in.size() - t->in_len));
    // Returned at once: the last error tells plat_recv_timed_out() what happened.
    if (got < 0) return -1;
    if (got == 0) {
      t->state = CUT;
      return PLAT_TLS_CUT;
    }
    t->in_len += static_cast<size_t>(got);
  }
}

void plat_tls_free(plat_tls h) {
  if (h) free_session(static_cast<Session*>(h));
}
