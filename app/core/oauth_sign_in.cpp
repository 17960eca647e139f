#include "app/core/oauth_sign_in.h"

#include "app/core/oauth_tokens.h"
#include "smtpclient/codecs.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace app {

namespace {

// A browser's request line and headers: a few hundred bytes; more is no browser.
constexpr size_t kMaxRequestHead = 16 * 1024;
// How long one connection may take to send its request.
constexpr std::chrono::seconds kRequestBound{10};

class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// Waits until `fd` is readable, the deadline passes or the sign-in is cancelled.
bool WaitReadable(int fd, std::chrono::steady_clock::time_point deadline,
                  const std::atomic<bool>* cancel) {
    for (;;) {
        if (cancel && cancel->load()) return false;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd entry{fd, POLLIN, 0};
        // Short slices, so that a cancel is seen within a quarter second.
        int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 250)));
        if (ready > 0) return true;
        if (ready < 0 && errno != EINTR) return false;
    }
}

// The request line's target of one connection's request, or empty.
std::string ReadRequestTarget(int fd, const std::atomic<bool>* cancel) {
    std::string head;
    auto deadline = std::chrono::steady_clock::now() + kRequestBound;
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestHead) {
        if (!WaitReadable(fd, deadline, cancel)) return {};
        char buffer[2048];
        ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        head.append(buffer, static_cast<size_t>(n));
    }
    std::string line = head.substr(0, head.find("\r\n"));
    if (line.rfind("GET ", 0) != 0) return {};
    size_t end = line.find(' ', 4);
    return end == std::string::npos ? std::string() : line.substr(4, end - 4);
}

void Answer(int fd, int status, const std::string& text) {
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>VantroSMTP"
                       "</title></head><body><p>" +
                       text + "</p></body></html>";
    std::string reply = "HTTP/1.1 " + std::to_string(status) +
                        (status == 200 ? " OK" : " Not Found") +
                        "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                        std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
}

std::string Sha256(const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string Unescape(const std::string& text) {
    std::string spaced = text;
    for (char& c : spaced)
        if (c == '+') c = ' ';
    int length = 0;
    char* decoded =
        curl_easy_unescape(nullptr, spaced.data(), static_cast<int>(spaced.size()), &length);
    std::string result = decoded ? std::string(decoded, static_cast<size_t>(length)) : "";
    curl_free(decoded);
    return result;
}

} // namespace

std::string Base64Url(const std::string& bytes) {
    std::string text = codecs::Base64Encode(bytes);
    for (char& c : text) {
        if (c == '+') c = '-';
        if (c == '/') c = '_';
    }
    while (!text.empty() && text.back() == '=') text.pop_back();
    return text;
}

std::string RandomUrlSafe(size_t count) {
    std::string bytes(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1)
        throw std::runtime_error("the system's random generator failed");
    return Base64Url(bytes);
}

Pkce MakePkce() {
    Pkce pkce;
    pkce.verifier = RandomUrlSafe(32);
    pkce.challenge = Base64Url(Sha256(pkce.verifier));
    return pkce;
}

std::string AuthorizationAddress(const OAuthProvider& provider, const std::string& redirect,
                                 const std::string& state, const std::string& challenge,
                                 const std::string& loginHint) {
    FormFields fields = {{"response_type", "code"},
                         {"client_id", provider.clientId},
                         {"redirect_uri", redirect},
                         {"scope", provider.scope},
                         {"state", state},
                         {"code_challenge", challenge},
                         {"code_challenge_method", "S256"}};
    if (!loginHint.empty()) fields.emplace_back("login_hint", loginHint);
    std::string query = FormEncode(fields);
    if (!provider.extraAuthParameters.empty()) query += "&" + provider.extraAuthParameters;
    return provider.authUrl + (provider.authUrl.find('?') == std::string::npos ? "?" : "&") + query;
}

std::map<std::string, std::string> QueryOf(const std::string& target) {
    std::map<std::string, std::string> parameters;
    size_t mark = target.find('?');
    if (mark == std::string::npos) return parameters;
    std::string query = target.substr(mark + 1, target.find('#') - mark - 1);
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        std::string pair = query.substr(start, end - start);
        size_t equals = pair.find('=');
        if (!pair.empty())
            parameters[Unescape(pair.substr(0, equals))] =
                equals == std::string::npos ? "" : Unescape(pair.substr(equals + 1));
        start = end + 1;
    }
    return parameters;
}

namespace {

// Makes `listener` listen on a loopback port the system picks, so that no other program can
// guess it. Its port, or 0 with errno telling why.
uint16_t ListenOnLoopback(const Descriptor& listener) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof(address);
    if (listener.get() < 0 ||
        ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener.get(), 8) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.sin_port);
}

std::string NoAnswerReason(const SignInOptions& options) {
    if (options.cancel && options.cancel->load()) return "the sign-in was cancelled";
    return "no answer from the browser within " +
           std::to_string(std::chrono::duration_cast<std::chrono::seconds>(options.wait).count()) +
           " s";
}

// The provider's answer with a code: traded for tokens, the refresh token kept, and the
// browser's page told whether it worked.
void RedeemCode(const OAuthProvider& provider, const std::string& mailbox, TokenStore& store,
                const FormPoster& post, const std::string& code, const std::string& redirect,
                const Pkce& pkce, int connection, SignInOutcome& outcome) {
    TokenGrant grant = AskTokenEndpoint(provider,
                                        {{"grant_type", "authorization_code"},
                                         {"code", code},
                                         {"redirect_uri", redirect},
                                         {"code_verifier", pkce.verifier}},
                                        post);
    if (grant.ok && grant.refreshToken.empty()) {
        grant.ok = false;
        grant.reason = "the provider gave no refresh token (offline access not granted)";
    }
    if (grant.ok && !store.Save(mailbox, grant.refreshToken, outcome.reason))
        grant.ok = false;
    else if (!grant.ok)
        outcome.reason = grant.reason;
    Answer(connection, 200,
           grant.ok ? "VantroSMTP is signed in. You may close this page."
                    : "The sign-in did not complete; VantroSMTP says why. You may close "
                      "this page.");
    outcome.ok = grant.ok;
    if (outcome.ok) {
        outcome.reason.clear();
        outcome.where = store.Where();
    }
}

} // namespace

SignInOutcome SignIn(const OAuthProvider& provider, const std::string& mailbox, TokenStore& store,
                     const FormPoster& post, const std::function<void(const std::string&)>& show,
                     const SignInOptions& options) {
    SignInOutcome outcome;
    outcome.reason = ProviderProblem(provider);
    if (!outcome.reason.empty()) return outcome;

    Descriptor listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    uint16_t port = ListenOnLoopback(listener);
    if (port == 0) {
        outcome.reason =
            std::string("no loopback address to take the answer on: ") + std::strerror(errno);
        return outcome;
    }
    std::string redirect = "http://127.0.0.1:" + std::to_string(port) + "/";
    std::string state = RandomUrlSafe(24);
    Pkce pkce = MakePkce();
    show(AuthorizationAddress(provider, redirect, state, pkce.challenge, mailbox));

    auto deadline = std::chrono::steady_clock::now() + options.wait;
    for (;;) {
        if (!WaitReadable(listener.get(), deadline, options.cancel)) {
            outcome.reason = NoAnswerReason(options);
            return outcome;
        }
        Descriptor connection(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (connection.get() < 0) continue;
        std::map<std::string, std::string> answer =
            QueryOf(ReadRequestTarget(connection.get(), options.cancel));
        if (!answer.count("code") && !answer.count("error")) {
            Answer(connection.get(), 404, "Not here."); // a favicon, a stray request
            continue;
        }
        if (answer["state"] != state) {
            // Not the answer to this sign-in: another page's request, or a forged one.
            Answer(connection.get(), 200,
                   "This answer was not for this sign-in; nothing was kept.");
            outcome.reason = "the answer's state did not match this sign-in; nothing was kept";
            return outcome;
        }
        if (answer.count("error")) {
            Answer(connection.get(), 200,
                   "The sign-in was not completed. You may close this page.");
            outcome.reason =
                "the provider refused the sign-in: " + answer["error"] +
                (answer["error_description"].empty() ? std::string()
                                                     : " (" + answer["error_description"] + ")");
            return outcome;
        }
        RedeemCode(provider, mailbox, store, post, answer["code"], redirect, pkce, connection.get(),
                   outcome);
        return outcome;
    }
}

} // namespace app
