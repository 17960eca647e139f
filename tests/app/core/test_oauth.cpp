// OAuth 2.0 sign-in and tokens: which endpoints and providers are taken, the access tokens'
// refresh (once for all sessions, ahead of expiry, failures for now or for good) against a
// poster of the test's own with an injected clock, and the real thing against a local
// provider (tests/support/oauth_provider.py): the browser's answer on the loopback address,
// PKCE, the state, and deliveries through an upstream that takes only current tokens.
#include "app/core/credential_commands.h"
#include "app/core/oauth_sign_in.h"
#include "app/core/oauth_tokens.h"
#include "tests/app/core/core_harness.h"
#include "tests/support/process.h"
#include "tests/support/temp_folder.h"
#include "tests/support/upstream.h"

#include <atomic>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace app;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

TEST(OAuthProviders, AnEndpointIsHttpsOrHttpToALoopbackAddress) {
    const struct {
        const char* url;
        bool taken;
    } cases[] = {
        {"https://oauth2.googleapis.com/token", true},
        {"HTTPS://login.example/authorize?x=1", true},
        {"http://127.0.0.1:8080/token", true},
        {"http://127.9.9.9/token", true},
        {"http://[::1]:9/token", true},
        {"http://localhost:9/token", true},
        {"http://oauth.example/token", false},
        {"http://127.0.0.1.evil.example/token", false},
        {"http://127.0.0.1@evil.example/token", false},
        {"ftp://127.0.0.1/token", false},
        {"https://", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(EndpointProblem(c.url).empty(), c.taken)
            << c.url << ": " << EndpointProblem(c.url);
}

TEST(OAuthProviders, BuiltInsTakeTheUsersRegistrationAndSectionsAddProviders) {
    testsupport::TempFolder folder("oauth-settings");
    std::string path = (folder.path / "brontalnow.ini").string();
    ASSERT_TRUE(platform::WriteFileAtomically(
        path,
        "[smtpconfig]\r\nsmtp=x\r\n[oauth2]\r\nMe@Gmail.Example=google\r\nwork@corp.example="
        "corpsso\r\nlost@x.example=\r\n[provider google]\r\nclientid=my-own.apps\r\n"
        "[provider corpsso]\r\nauthurl=https://sso.corp.example/auth\r\ntokenurl=https://"
        "sso.corp.example/token\r\nclientid=relay\r\nclientsecret=s3\r\nscope=smtp\r\n",
        0600));
    OAuthSettings settings = ReadOAuthSettings(path);
    const OAuthProvider* google = settings.ProviderOf(" me@gmail.example ");
    ASSERT_NE(google, nullptr);
    EXPECT_EQ(google->name, "google");
    EXPECT_EQ(google->clientId, "my-own.apps");
    EXPECT_EQ(google->tokenUrl, "https://oauth2.googleapis.com/token");
    EXPECT_EQ(google->scope, "https://mail.google.com/");
    EXPECT_EQ(ProviderProblem(*google), "");
    const OAuthProvider* corp = settings.ProviderOf("WORK@corp.example");
    ASSERT_NE(corp, nullptr);
    EXPECT_EQ(*corp, (OAuthProvider{"corpsso", "https://sso.corp.example/auth",
                                    "https://sso.corp.example/token", "relay", "s3", "smtp", ""}));
    EXPECT_EQ(settings.ProviderOf("lost@x.example"), nullptr);
    EXPECT_EQ(settings.ProviderOf("other@x.example"), nullptr);
    // Without the user's registration a built-in one says what to do.
    EXPECT_NE(ProviderProblem(settings.providers.at("microsoft")).find("has no client id"),
              std::string::npos);
}

TEST(OAuthSignIn, TheBrowsersAnswerIsReadFromItsQueryAndPkceIsS256) {
    auto query = QueryOf("/?code=4%2F0Ab%2Bc&state=x_y-z&scope=a+b&empty=&flag#frag");
    EXPECT_EQ(query["code"], "4/0Ab+c");
    EXPECT_EQ(query["state"], "x_y-z");
    EXPECT_EQ(query["scope"], "a b");
    EXPECT_EQ(query["empty"], "");
    EXPECT_TRUE(query.count("flag"));
    EXPECT_TRUE(QueryOf("/favicon.ico").empty());
    Pkce pkce = MakePkce();
    EXPECT_EQ(pkce.verifier.size(), 43u);
    EXPECT_EQ(pkce.challenge.size(), 43u);
    EXPECT_EQ(pkce.verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                              "0123456789-_"),
              std::string::npos);
    EXPECT_NE(MakePkce().verifier, pkce.verifier);
    EXPECT_EQ(Base64Url("\xfb\xff"), "-_8");
}

// A token store in memory, counting its saves.
struct MemoryStore : TokenStore {
    std::map<std::string, std::string> tokens;
    int saves = 0;
    std::optional<std::string> Load(const std::string& mailbox, std::string& reason) override {
        auto found = tokens.find(mailbox);
        if (found != tokens.end()) return found->second;
        reason = "no sign-in of " + mailbox + " in memory";
        return std::nullopt;
    }
    bool Save(const std::string& mailbox, const std::string& token, std::string&) override {
        tokens[mailbox] = token;
        ++saves;
        return true;
    }
    std::string Where() const override { return "memory"; }
};

// A token endpoint of the test's own: its answers in order (the last one repeated), the
// requests counted, and a clock the test moves.
struct FakeEndpoint {
    std::vector<HttpReply> replies;
    std::atomic<int> requests{0};
    std::vector<FormFields> asked;
    std::mutex mutex;
    std::chrono::steady_clock::time_point now{};

    FormPoster Poster() {
        return [this](const std::string&, const FormFields& fields) {
            std::lock_guard lock(mutex);
            asked.push_back(fields);
            int n = requests++;
            std::this_thread::sleep_for(20ms); // long enough for other sessions to queue up
            return replies.at(std::min<size_t>(n, replies.size() - 1));
        };
    }
    SteadyClock Clock() {
        return [this] { return now; };
    }
};

HttpReply Grant(const std::string& access, int lifetime, const std::string& refresh = "") {
    std::string body = "{\"access_token\":\"" + access +
                       "\",\"expires_in\":" + std::to_string(lifetime) +
                       ",\"token_type\":\"Bearer\"" +
                       (refresh.empty() ? "" : ",\"refresh_token\":\"" + refresh + "\"") + "}";
    return HttpReply{200, body, ""};
}

OAuthProvider TestProvider() {
    return {"testsso", "https://sso.test/auth", "https://sso.test/token", "client", "", "smtp", ""};
}

TEST(OAuthTokens, OneRefreshServesEverySessionUntilTheTokenIsAboutToExpire) {
    FakeEndpoint endpoint;
    endpoint.replies = {Grant("at-1", 30), Grant("at-2", 30), Grant("at-3", 3600),
                        Grant("at-4", 3600)};
    auto store = std::make_shared<MemoryStore>();
    store->tokens["me@x.example"] = "rt-secret";
    auto tokens = std::make_shared<OAuthTokens>("me@x.example", TestProvider(), store,
                                                endpoint.Poster(), endpoint.Clock());
    std::vector<std::thread> sessions;
    std::vector<std::string> got(8);
    for (size_t i = 0; i < got.size(); ++i)
        sessions.emplace_back([&, i] {
            smtpclient::TSecretFetch fetched;
            if (tokens->Fetch(fetched)) got[i] = fetched.secret;
        });
    for (auto& session : sessions) session.join();
    EXPECT_EQ(endpoint.requests.load(), 1);
    for (const std::string& token : got) EXPECT_EQ(token, "at-1");
    FormFields expected = {
        {"grant_type", "refresh_token"}, {"refresh_token", "rt-secret"}, {"client_id", "client"}};
    EXPECT_EQ(endpoint.asked.at(0), expected);

    // A 30 s token is refreshed when less than a tenth of its life remains; an hour's when
    // less than five minutes do.
    const struct {
        std::chrono::seconds after;
        int requests;
        const char* token;
    } steps[] = {{26s, 1, "at-1"},       {28s, 2, "at-2"},         {28s + 26s, 2, "at-2"},
                 {28s + 28s, 3, "at-3"}, {56s + 3290s, 3, "at-3"}, {56s + 3310s, 4, "at-4"}};
    auto start = endpoint.now;
    for (const auto& step : steps) {
        endpoint.now = start + step.after;
        smtpclient::TSecretFetch fetched;
        ASSERT_TRUE(tokens->Fetch(fetched)) << fetched.reason;
        EXPECT_EQ(fetched.secret, step.token) << step.after.count();
        EXPECT_EQ(endpoint.requests.load(), step.requests) << step.after.count();
    }
}

TEST(OAuthTokens, ARefusedTokenIsRefreshedOnceAndARotatedRefreshTokenIsKept) {
    FakeEndpoint endpoint;
    endpoint.replies = {Grant("at-1", 3600), Grant("at-2", 3600, "rt-rotated")};
    auto store = std::make_shared<MemoryStore>();
    store->tokens["me@x.example"] = "rt-first";
    auto tokens = std::make_shared<OAuthTokens>("me@x.example", TestProvider(), store,
                                                endpoint.Poster(), endpoint.Clock());
    smtpclient::TSecretSource source = tokens->Source(tokens);
    EXPECT_EQ(source.kind, smtpclient::TSecretSource::Kind::BearerToken);
    smtpclient::TSecretFetch fetched;
    ASSERT_TRUE(source.fetch(fetched));
    EXPECT_EQ(fetched.secret, "at-1");
    EXPECT_TRUE(source.refused("at-1"));
    ASSERT_TRUE(source.fetch(fetched));
    EXPECT_EQ(fetched.secret, "at-2");
    EXPECT_EQ(store->tokens["me@x.example"], "rt-rotated");
    EXPECT_EQ(store->saves, 1);
    // Another session's late refusal of the old token drops nothing.
    EXPECT_TRUE(source.refused("at-1"));
    ASSERT_TRUE(source.fetch(fetched));
    EXPECT_EQ(fetched.secret, "at-2");
    EXPECT_EQ(endpoint.requests.load(), 2);
}

TEST(OAuthTokens, EachFailureSaysWhetherOnlyANewSignInHelpsAndNeverShowsAToken) {
    const struct {
        const char* name;
        HttpReply reply;
        bool stored;
        bool forGood;
        const char* words;
    } cases[] = {
        {"revoked",
         {400,
          R"({"error":"invalid_grant","error_description":"Token has been expired or revoked."})",
          ""},
         true,
         true,
         "invalid_grant: Token has been expired or revoked.); sign in again"},
        {"a client the provider no longer knows",
         {401, R"({"error":"invalid_client"})", ""},
         true,
         true,
         "refused (HTTP 401, invalid_client)"},
        {"unreachable",
         {0, "", "Failed to connect to sso.test port 443"},
         true,
         false,
         "was not reached (Failed to connect to sso.test port 443)"},
        {"the provider's trouble",
         {503, "<html>busy</html>", ""},
         true,
         false,
         "refused (HTTP 503)"},
        {"rate limited", {429, R"({"error":"slow_down"})", ""}, true, false, "HTTP 429"},
        {"an answer without a token",
         {200, R"({"token_type":"Bearer"})", ""},
         true,
         false,
         "answered without a token"},
        {"never signed in",
         {200, "", ""},
         false,
         true,
         "no sign-in of me@x.example in memory: sign in again (vantrosmtp --sign-in me@x.example)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeEndpoint endpoint;
        endpoint.replies = {c.reply};
        auto store = std::make_shared<MemoryStore>();
        if (c.stored) store->tokens["me@x.example"] = "rt-secret-value";
        OAuthTokens tokens("me@x.example", TestProvider(), store, endpoint.Poster(),
                           endpoint.Clock());
        smtpclient::TSecretFetch fetched;
        EXPECT_FALSE(tokens.Fetch(fetched));
        EXPECT_EQ(fetched.forGood, c.forGood);
        EXPECT_NE(fetched.reason.find(c.words), std::string::npos) << fetched.reason;
        EXPECT_EQ(fetched.reason.find("rt-secret"), std::string::npos) << fetched.reason;
        EXPECT_TRUE(fetched.secret.empty());
    }
    // A provider without a client id is not asked at all.
    FakeEndpoint endpoint;
    endpoint.replies = {Grant("at-1", 3600)};
    OAuthProvider unregistered = TestProvider();
    unregistered.clientId.clear();
    auto store = std::make_shared<MemoryStore>();
    store->tokens["me@x.example"] = "rt";
    OAuthTokens tokens("me@x.example", unregistered, store, endpoint.Poster(), endpoint.Clock());
    smtpclient::TSecretFetch fetched;
    EXPECT_FALSE(tokens.Fetch(fetched));
    EXPECT_TRUE(fetched.forGood);
    EXPECT_EQ(endpoint.requests.load(), 0);
}

TEST(OAuthTokenStore, TheFileKeepsEachMailboxsSignInWholeAndOwnerOnly) {
    testsupport::TempFolder folder("oauth-file");
    auto store = FileTokenStore(folder.path.string() + "/");
    std::string reason;
    EXPECT_FALSE(store->Load("me@x.example", reason));
    std::string longToken(3000, 'r'); // longer than a settings line may be
    ASSERT_TRUE(store->Save("Me@X.example", longToken, reason)) << reason;
    ASSERT_TRUE(store->Save("you@y.example", "rt-you", reason)) << reason;
    ASSERT_TRUE(store->Save("me@x.example", longToken + "2", reason)) << reason;
    EXPECT_EQ(store->Load("ME@x.example", reason).value_or(""), longToken + "2");
    EXPECT_EQ(store->Load("you@y.example", reason).value_or(""), "rt-you");
    struct stat info {};
    ASSERT_EQ(stat((folder.path / "oauth2-tokens").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(store->Where(), folder.path.string() + "/oauth2-tokens");
}

// The local provider, and the loopback address a sign-in's browser is sent to.
struct LocalProvider {
    testsupport::Upstream server;
    explicit LocalProvider(std::vector<std::string> arguments = {})
        : server("oauth_provider.py", arguments) {}
    std::string Base() const { return "http://127.0.0.1:" + std::to_string(server.Port()); }
    OAuthProvider Provider() const {
        return {"local", Base() + "/auth", Base() + "/token", "vantro-test-client", "", "smtp", ""};
    }
};

// Plays the browser: fetches the address (following the provider's redirect to the
// sign-in's loopback address) and prints the page it ends on.
testsupport::ProcessResult Browse(const std::string& address) {
    return testsupport::RunProcess(
        {"/usr/bin/python3", "-c",
         "import sys, urllib.request\nprint(urllib.request.urlopen(sys.argv[1], timeout=20)"
         ".read().decode())",
         address},
        "", 30000);
}

TEST(OAuthSignIn, TheBrowsersAnswerIsExchangedWithItsVerifierAndTheRefreshTokenKept) {
    LocalProvider local;
    ASSERT_TRUE(local.server.Ok()) << local.server.Log();
    MemoryStore store;
    testsupport::ProcessResult browser;
    std::thread browsing;
    std::string shown;
    SignInOutcome outcome = SignIn(
        local.Provider(), "me@x.example", store, LibcurlPoster(), [&](const std::string& address) {
            shown = address;
            browsing = std::thread([&, address] { browser = Browse(address); });
        });
    browsing.join();
    ASSERT_TRUE(outcome.ok) << outcome.reason;
    EXPECT_EQ(outcome.where, "memory");
    EXPECT_EQ(store.tokens["me@x.example"].rfind("rt-", 0), 0u);
    EXPECT_NE(browser.output.find("VantroSMTP is signed in. You may close this page."),
              std::string::npos)
        << browser.output;
    EXPECT_EQ(local.server.Count("code-exchanges"), 1);
    auto query = QueryOf(shown.substr(shown.find('?')));
    EXPECT_EQ(query["code_challenge_method"], "S256");
    EXPECT_EQ(query["login_hint"], "me@x.example");
    EXPECT_EQ(query["redirect_uri"].rfind("http://127.0.0.1:", 0), 0u);
}

TEST(OAuthSignIn, AForgedStateAMissingRefreshTokenAndNoAnswerKeepNothing) {
    const struct {
        const char* name;
        std::vector<std::string> arguments;
        bool browse;
        const char* reason;
    } cases[] = {
        {"another state", {"--wrong-state"}, true, "the answer's state did not match"},
        {"no refresh token", {"--no-refresh-token"}, true, "gave no refresh token"},
        {"no answer", {}, false, "no answer from the browser within 1 s"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LocalProvider local(c.arguments);
        ASSERT_TRUE(local.server.Ok()) << local.server.Log();
        MemoryStore store;
        std::thread browsing;
        SignInOptions options;
        options.wait = c.browse ? 20s : 1s;
        SignInOutcome outcome = SignIn(
            local.Provider(), "me@x.example", store, LibcurlPoster(),
            [&](const std::string& address) {
                if (c.browse) browsing = std::thread([address] { Browse(address); });
            },
            options);
        if (browsing.joinable()) browsing.join();
        EXPECT_FALSE(outcome.ok);
        EXPECT_NE(outcome.reason.find(c.reason), std::string::npos) << outcome.reason;
        EXPECT_TRUE(store.tokens.empty());
    }
    // A cancel ends the wait at once.
    LocalProvider local;
    MemoryStore store;
    std::atomic<bool> cancel{false};
    SignInOptions options;
    options.cancel = &cancel;
    SignInOutcome outcome = SignIn(
        local.Provider(), "me@x.example", store, LibcurlPoster(),
        [&](const std::string&) { cancel = true; }, options);
    EXPECT_EQ(outcome.reason, "the sign-in was cancelled");
}

// The core relaying through an account signed in with the local provider, to an upstream
// (STARTTLS) that takes only the provider's current tokens.
struct SignedInRelay {
    LocalProvider local;
    testsupport::Upstream upstream;
    std::shared_ptr<MemoryStore> store = std::make_shared<MemoryStore>();
    std::shared_ptr<OAuthTokens> tokens;
    CoreHarness h;

    SignedInRelay(std::vector<std::string> providerArguments, const std::string& tokenUrl = "",
                  std::vector<std::string> upstreamArguments = {})
        : local(WithRefreshToken(providerArguments)),
          upstream(UpstreamArguments(local.server.Store(), upstreamArguments)),
          h(std::to_string(upstream.Port()), 4) {
        RelayPolicy policy = h.core->Policy();
        policy.verifyCert = false; // the test certificate is self-signed
        h.core->SetPolicy(policy);
        Account account = h.core->AccountInForce();
        account.authenticate = true;
        account.startTls = true;
        account.user = "kalvex";
        h.core->SetAccountInForce(account);
        store->tokens["relay@mail.example"] = "rt-valid";
        OAuthProvider provider = local.Provider();
        if (!tokenUrl.empty()) provider.tokenUrl = tokenUrl;
        tokens = std::make_shared<OAuthTokens>(
            "relay@mail.example", provider, store,
            [](const std::string& url, const FormFields& fields) {
                return PostForm(url, fields, 5s);
            },
            [] { return std::chrono::steady_clock::now(); });
        CredentialCommands commands;
        commands.SetOAuth("relay@mail.example", tokens);
        h.core->SetCredentialCommands(commands);
    }
    static std::vector<std::string> UpstreamArguments(const std::string& providerStore,
                                                      std::vector<std::string> arguments) {
        arguments.insert(arguments.end(),
                         {"--starttls", testsupport::TestCertificate(), "--token-file",
                          providerStore + "/current-tokens", "--auth-required"});
        return arguments;
    }
    static std::vector<std::string> WithRefreshToken(std::vector<std::string> arguments) {
        arguments.insert(arguments.end(), {"--refresh-token", "rt-valid"});
        return arguments;
    }
    std::string ProviderStore() const { return local.server.Store(); }
    // Every token the provider gave so far has expired: the upstream takes none of them.
    bool WaitUntilTokensExpired() const {
        return testsupport::PumpUntil(
            [&] {
                auto current = platform::ReadFileBytes(ProviderStore() + "/current-tokens");
                if (!current) return false;
                double now = std::chrono::duration<double>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count();
                for (size_t at = current->find(' '); at != std::string::npos;
                     at = current->find(' ', at + 1))
                    if (std::atof(current->c_str() + at + 1) > now) return false;
                return true;
            },
            10000);
    }
};

TEST(OAuthDelivery, MessagesAcrossTokenLifetimesAreDeliveredWithOneRefreshEach) {
    // One message a session, as a provider's cap would have it: each needs a new AUTH.
    SignedInRelay relay({"--lifetime", "1"}, "", {"--session-messages", "1"});
    ASSERT_TRUE(relay.local.server.Ok() && relay.upstream.Ok()) << relay.upstream.Log();
    Submitter client(relay.h.port);
    for (int n = 0; n < 3; ++n) {
        if (n > 0) {
            ASSERT_TRUE(relay.WaitUntilTokensExpired()) << "the provider's token never expired";
        }
        EXPECT_EQ(client.Message("me@x.example", "you@y.example",
                                 "Subject: " + std::to_string(n) + "\r\n\r\nbody\r\n"),
                  "250 OK \r\n");
        ASSERT_TRUE(relay.h.WaitForOutcomes(n + 1)) << "message " << n << " had no outcome";
        EXPECT_TRUE(relay.h.outcomes[n].relayed) << relay.h.outcomes[n].reason;
    }
    ASSERT_TRUE(relay.upstream.WaitForMessages(3, 5000));
    EXPECT_EQ(relay.local.server.Count("refreshes"), 3); // the first token, then one a lifetime
    for (const auto& message : relay.upstream.Messages()) EXPECT_EQ(message.authUser, "kalvex");
}

TEST(OAuthDelivery, ManySessionsAtOnceNeedOneRefresh) {
    SignedInRelay relay({"--delay", "0.3"});
    ASSERT_TRUE(relay.local.server.Ok() && relay.upstream.Ok()) << relay.upstream.Log();
    auto sent = SendFromClients(relay.h.port, 8, 16, 1);
    ASSERT_EQ(sent.exitCode, 0) << sent.output;
    ASSERT_TRUE(relay.h.WaitForOutcomes(16));
    for (const auto& outcome : relay.h.outcomes) EXPECT_TRUE(outcome.relayed) << outcome.reason;
    EXPECT_EQ(relay.local.server.Count("refreshes"), 1);
}

TEST(OAuthDelivery, ARevokedSignInFailsForGoodAndAnEndpointOutOfReachDefers) {
    {
        SignedInRelay relay({"--revoked"});
        ASSERT_TRUE(relay.local.server.Ok() && relay.upstream.Ok()) << relay.upstream.Log();
        Submitter client(relay.h.port);
        client.Message("me@x.example", "you@y.example", "Subject: a\r\n\r\nbody\r\n");
        ASSERT_TRUE(relay.h.WaitForOutcomes(1));
        const DeliveryOutcome& outcome = relay.h.outcomes[0];
        EXPECT_FALSE(outcome.relayed);
        EXPECT_FALSE(outcome.deferred);
        EXPECT_TRUE(outcome.signInNeeded);
        EXPECT_NE(outcome.reason.find("invalid_grant"), std::string::npos) << outcome.reason;
        EXPECT_NE(outcome.reason.find("sign in again"), std::string::npos) << outcome.reason;
        for (const std::string& line : relay.h.journal)
            EXPECT_EQ(line.find("rt-valid"), std::string::npos) << line;
    }
    {
        SignedInRelay relay({}, "http://127.0.0.1:" + std::to_string(testsupport::FreePort()) +
                                    "/token");
        ASSERT_TRUE(relay.local.server.Ok() && relay.upstream.Ok()) << relay.upstream.Log();
        Submitter client(relay.h.port);
        client.Message("me@x.example", "you@y.example", "Subject: b\r\n\r\nbody\r\n");
        ASSERT_TRUE(relay.h.WaitForOutcomes(1));
        const DeliveryOutcome& outcome = relay.h.outcomes[0];
        EXPECT_FALSE(outcome.relayed);
        EXPECT_TRUE(outcome.deferred) << outcome.reason;
        EXPECT_FALSE(outcome.signInNeeded);
        EXPECT_NE(outcome.reason.find("was not reached"), std::string::npos) << outcome.reason;
        EXPECT_EQ(relay.upstream.Messages().size(), 0u);
    }
}

} // namespace
