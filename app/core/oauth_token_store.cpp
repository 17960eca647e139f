#include "app/core/oauth_token_store.h"

#include "platform/text.h"
#include "platform/text_file.h"

#include <cstdio>
#include <cstdlib>
#include <libsecret/secret.h>
#include <map>

namespace app {

namespace {

const SecretSchema* KeyringSchema() {
    static const SecretSchema schema = {"io.vantro.VantroSMTP.OAuth2",
                                        SECRET_SCHEMA_NONE,
                                        {{"program", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"mailbox", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

std::string TakeError(GError*& error) {
    std::string message = error && error->message ? error->message : "unknown error";
    g_clear_error(&error);
    return message;
}

class Keyring : public TokenStore {
  public:
    std::optional<std::string> Load(const std::string& mailbox, std::string& reason) override {
        GError* error = nullptr;
        gchar* token =
            secret_password_lookup_sync(KeyringSchema(), nullptr, &error, "program", "vantrosmtp",
                                        "mailbox", Key(mailbox).c_str(), nullptr);
        if (error) {
            reason = "the desktop keyring could not be read: " + TakeError(error);
            return std::nullopt;
        }
        if (!token) {
            reason = "no sign-in of " + mailbox + " in the desktop keyring";
            return std::nullopt;
        }
        std::string kept = token;
        secret_password_free(token);
        return kept;
    }
    bool Save(const std::string& mailbox, const std::string& refreshToken,
              std::string& reason) override {
        GError* error = nullptr;
        std::string label = "VantroSMTP sign-in of " + mailbox;
        bool stored = secret_password_store_sync(
            KeyringSchema(), SECRET_COLLECTION_DEFAULT, label.c_str(), refreshToken.c_str(),
            nullptr, &error, "program", "vantrosmtp", "mailbox", Key(mailbox).c_str(), nullptr);
        if (error || !stored) {
            reason = "the desktop keyring could not be written: " + TakeError(error);
            return false;
        }
        return true;
    }
    std::string Where() const override { return "the desktop keyring"; }

  private:
    static std::string Key(const std::string& mailbox) {
        return platform::AsciiLower(platform::TrimBlanks(mailbox));
    }
};

class TokenFile : public TokenStore {
  public:
    explicit TokenFile(std::string folder) : path_(std::move(folder) + "oauth2-tokens") {}

    std::optional<std::string> Load(const std::string& mailbox, std::string& reason) override {
        std::lock_guard lock(mutex_);
        std::map<std::string, std::string> tokens;
        if (!Read(tokens, reason)) return std::nullopt;
        auto found = tokens.find(Key(mailbox));
        if (found == tokens.end()) {
            reason = "no sign-in of " + mailbox + " in " + path_;
            return std::nullopt;
        }
        return found->second;
    }
    bool Save(const std::string& mailbox, const std::string& refreshToken,
              std::string& reason) override {
        std::lock_guard lock(mutex_);
        std::map<std::string, std::string> tokens;
        // A file that cannot be read is not replaced by one that lost its other sign-ins.
        if (!Read(tokens, reason) && platform::FileExists(path_)) return false;
        tokens[Key(mailbox)] = refreshToken;
        std::string text;
        for (const auto& [name, token] : tokens) text += name + "=" + token + "\n";
        if (platform::WriteFileAtomically(path_, text, 0600)) return true;
        reason = "cannot write " + path_;
        return false;
    }
    std::string Where() const override { return path_; }

  private:
    static std::string Key(const std::string& mailbox) {
        return platform::AsciiLower(platform::TrimBlanks(mailbox));
    }
    bool Read(std::map<std::string, std::string>& tokens, std::string& reason) const {
        std::optional<std::string> bytes = platform::ReadFileBytes(path_);
        if (!bytes) {
            reason = "no sign-in kept: " + path_ + " cannot be read";
            return false;
        }
        size_t start = 0;
        while (start < bytes->size()) {
            size_t end = bytes->find('\n', start);
            if (end == std::string::npos) end = bytes->size();
            std::string line = bytes->substr(start, end - start);
            size_t equals = line.find('=');
            if (equals != std::string::npos)
                tokens[line.substr(0, equals)] = line.substr(equals + 1);
            start = end + 1;
        }
        return true;
    }

    std::string path_;
    std::mutex mutex_;
};

} // namespace

std::unique_ptr<TokenStore> FileTokenStore(const std::string& folder) {
    return std::make_unique<TokenFile>(folder);
}

std::unique_ptr<TokenStore> KeyringTokenStore() {
    return std::make_unique<Keyring>();
}

bool SecretServiceAnswers() {
    // Without a session bus libsecret would try to start one through X11: none to ask.
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if ((!bus || !*bus) && !(runtime && platform::FileExists(std::string(runtime) + "/bus")))
        return false;
    GError* error = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &error);
    if (error) {
        g_clear_error(&error);
        return false;
    }
    // A bus without the keyring daemon: the service's name has no owner.
    gchar* owner = g_dbus_proxy_get_name_owner(G_DBUS_PROXY(service));
    bool answers = owner != nullptr;
    g_free(owner);
    g_object_unref(service);
    return answers;
}

std::shared_ptr<TokenStore> UsersTokenStore(const std::string& folder) {
    if (SecretServiceAnswers()) return KeyringTokenStore();
    static std::once_flag said;
    std::call_once(said, [&] {
        std::fprintf(stderr,
                     "vantrosmtp: no desktop keyring answers; OAuth 2.0 sign-ins are kept in "
                     "%soauth2-tokens (readable by you alone)\n",
                     folder.c_str());
    });
    return FileTokenStore(folder);
}

} // namespace app
