// OpenSSL bound at run time by name: the SSL library (first or second choice) and the
// crypto library are opened with dlopen and each entry point is looked up once. Every call
// goes through a forwarder that loads the libraries on first use and returns a fixed
// fallback when they or the entry point are missing, so a machine without OpenSSL simply
// has no TLS. The types come from the OpenSSL headers; nothing is linked.
#pragma once

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <string>
#include <type_traits>

namespace tlslib {

// Changeable before loading.
struct LibraryNames {
    std::string ssl = "libssl.so.3";     // first choice
    std::string sslSecond = "libssl.so"; // second choice
    std::string crypto = "libcrypto.so.3";
};
LibraryNames& Names();

// Entry points: name and the value a forwarder returns when it cannot call.
#define VANTRO_SSL_ENTRIES(X)                                                                      \
    X(SSL_get_error, 1)                                                                            \
    X(SSL_CTX_set_cipher_list, 0)                                                                  \
    X(SSL_CTX_ctrl, 0)                                                                             \
    X(SSL_CTX_new, nullptr)                                                                        \
    X(SSL_CTX_free, 0)                                                                             \
    X(SSL_set_fd, 0)                                                                               \
    X(TLS_method, nullptr)                                                                         \
    X(SSL_CTX_use_PrivateKey, 0)                                                                   \
    X(SSL_CTX_use_PrivateKey_ASN1, 0)                                                              \
    X(SSL_CTX_use_PrivateKey_file, 0)                                                              \
    X(SSL_CTX_use_certificate, 0)                                                                  \
    X(SSL_CTX_use_certificate_ASN1, 0)                                                             \
    X(SSL_CTX_use_certificate_file, 0)                                                             \
    X(SSL_CTX_use_certificate_chain_file, 0)                                                       \
    X(SSL_CTX_check_private_key, 0)                                                                \
    X(SSL_CTX_set_default_passwd_cb, 0)                                                            \
    X(SSL_CTX_set_default_passwd_cb_userdata, 0)                                                   \
    X(SSL_CTX_load_verify_locations, 0)                                                            \
    X(SSL_new, nullptr)                                                                            \
    X(SSL_free, 0)                                                                                 \
    X(SSL_accept, -1)                                                                              \
    X(SSL_connect, -1)                                                                             \
    X(SSL_shutdown, -1)                                                                            \
    X(SSL_read, -1)                                                                                \
    X(SSL_write, -1)                                                                               \
    X(SSL_pending, 0)                                                                              \
    X(SSL_get1_peer_certificate, nullptr)                                                          \
    X(SSL_get_version, "")                                                                         \
    X(SSL_CTX_set_verify, 0)                                                                       \
    X(SSL_get_current_cipher, nullptr)                                                             \
    X(SSL_CIPHER_get_name, "")                                                                     \
    X(SSL_CIPHER_get_bits, 0)                                                                      \
    X(SSL_get_verify_result, 50)                                                                   \
    X(SSL_ctrl, 0)                                                                                 \
    X(SSL_CTX_set_default_verify_paths, 0)                                                         \
    X(SSL_set1_host, 0)                                                                            \
    X(SSL_get0_param, nullptr)                                                                     \
    X(SSL_CTX_sess_set_new_cb, 0)                                                                  \
    X(SSL_set_session, 0)                                                                          \
    X(SSL_SESSION_free, 0)                                                                         \
    X(SSL_SESSION_dup, nullptr)                                                                    \
    X(SSL_SESSION_is_resumable, 0)                                                                 \
    X(SSL_session_reused, 0)                                                                       \
    X(SSL_set_ex_data, 0)                                                                          \
    X(SSL_get_ex_data, nullptr)

#define VANTRO_CRYPTO_ENTRIES(X)                                                                   \
    X(X509_new, nullptr)                                                                           \
    X(X509_free, 0)                                                                                \
    X(X509_NAME_oneline, nullptr)                                                                  \
    X(X509_get_subject_name, nullptr)                                                              \
    X(X509_get_issuer_name, nullptr)                                                               \
    X(X509_digest, 0)                                                                              \
    X(X509_print, 0)                                                                               \
    X(X509_set_version, 0)                                                                         \
    X(X509_set_pubkey, 0)                                                                          \
    X(X509_set_issuer_name, 0)                                                                     \
    X(X509_NAME_add_entry_by_txt, 0)                                                               \
    X(X509_sign, 0)                                                                                \
    X(X509_gmtime_adj, nullptr)                                                                    \
    X(X509_getm_notBefore, nullptr)                                                                \
    X(X509_getm_notAfter, nullptr)                                                                 \
    X(X509_get_serialNumber, nullptr)                                                              \
    X(EVP_PKEY_free, 0)                                                                            \
    X(EVP_get_digestbyname, nullptr)                                                               \
    X(OpenSSL_version, "")                                                                         \
    X(ERR_error_string_n, 0)                                                                       \
    X(ERR_get_error, 1)                                                                            \
    X(ERR_clear_error, 0)                                                                          \
    X(BIO_new, nullptr)                                                                            \
    X(BIO_free_all, 0)                                                                             \
    X(BIO_s_mem, nullptr)                                                                          \
    X(BIO_ctrl_pending, 0)                                                                         \
    X(BIO_read, -2)                                                                                \
    X(BIO_write, -2)                                                                               \
    X(d2i_PKCS12_bio, nullptr)                                                                     \
    X(PKCS12_parse, 0)                                                                             \
    X(PKCS12_free, 0)                                                                              \
    X(ASN1_INTEGER_set, 0)                                                                         \
    X(i2d_X509_bio, 0)                                                                             \
    X(i2d_PrivateKey_bio, 0)                                                                       \
    X(EVP_PKEY_CTX_new_id, nullptr)                                                                \
    X(EVP_PKEY_CTX_free, 0)                                                                        \
    X(EVP_PKEY_keygen_init, 0)                                                                     \
    X(EVP_PKEY_keygen, 0)                                                                          \
    X(EVP_PKEY_CTX_set_rsa_keygen_bits, 0)                                                         \
    X(OPENSSL_sk_pop_free, 0)                                                                      \
    X(X509_VERIFY_PARAM_set1_ip_asc, 0)                                                            \
    X(X509_verify_cert_error_string, "certificate verification failed")

struct Entries {
#define VANTRO_DECLARE_ENTRY(name, fallback) decltype(&::name) name = nullptr;
    VANTRO_SSL_ENTRIES(VANTRO_DECLARE_ENTRY)
    VANTRO_CRYPTO_ENTRIES(VANTRO_DECLARE_ENTRY)
#undef VANTRO_DECLARE_ENTRY
    // Fixed-version methods still offered by some builds; missing ones make those
    // protocol choices fail as unsupported.
    decltype(&::TLS_method) TLSv1_method = nullptr;
    decltype(&::TLS_method) SSLv3_method = nullptr;
};

namespace fallback {
#define VANTRO_DECLARE_FALLBACK(name, value) inline constexpr auto name = value;
VANTRO_SSL_ENTRIES(VANTRO_DECLARE_FALLBACK)
VANTRO_CRYPTO_ENTRIES(VANTRO_DECLARE_FALLBACK)
#undef VANTRO_DECLARE_FALLBACK
inline constexpr auto TLSv1_method = nullptr;
inline constexpr auto SSLv3_method = nullptr;
} // namespace fallback

const Entries& Bound();

// True when loaded (also when already loaded). Thread-safe.
bool LoadTlsLibraries();
void UnloadTlsLibraries();
bool TlsLibrariesLoaded();
// Full paths of the loaded SSL and crypto library files (empty when not loaded).
std::string SslLibraryPath();
std::string CryptoLibraryPath();

template <typename Fn, typename Fallback, typename... Args>
auto Call(Fn* Entries::*entry, Fallback fallbackValue, Args... args)
    -> std::invoke_result_t<Fn*, Args...> {
    using Result = std::invoke_result_t<Fn*, Args...>;
    Fn* fn = LoadTlsLibraries() ? Bound().*entry : nullptr;
    if (!fn) {
        if constexpr (std::is_void_v<Result>)
            return;
        else
            return static_cast<Result>(fallbackValue);
    }
    return fn(args...);
}

} // namespace tlslib

// TLS_CALL(SSL_connect, ssl): the forwarder of one entry point.
#define TLS_CALL(name, ...)                                                                        \
    ::tlslib::Call(&::tlslib::Entries::name, ::tlslib::fallback::name __VA_OPT__(, ) __VA_ARGS__)
