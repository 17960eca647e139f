// A sign-in run on a thread of its own, for the window: started with the account's provider
// and token store, watched (the authorization address once the loopback address listens,
// then the outcome), and cancelled. The browser is opened on the address as the headless
// command opens it.
#pragma once

#include "app/core/http_form.h"
#include "app/core/oauth_sign_in.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace app {

class SignInTask {
  public:
    SignInTask(OAuthProvider provider, std::string mailbox, std::shared_ptr<TokenStore> store,
               FormPoster post);
    // Cancels a sign-in still waiting and waits for its thread.
    ~SignInTask();
    SignInTask(const SignInTask&) = delete;
    SignInTask& operator=(const SignInTask&) = delete;

    void Cancel() { cancel_ = true; }
    bool Done() const { return done_; }
    SignInOutcome Outcome() const; // what it came to, once Done()
    std::string Address() const;   // the authorization address; empty until it listens

  private:
    std::atomic<bool> cancel_{false}, done_{false};
    mutable std::mutex mutex_;
    SignInOutcome outcome_;
    std::string address_;
    std::thread thread_; // last: started once the rest is made
};

} // namespace app
