#include "app/core/sign_in_task.h"

#include "app/core/sign_in_command.h"

namespace app {

SignInTask::SignInTask(OAuthProvider provider, std::string mailbox,
                       std::shared_ptr<TokenStore> store, FormPoster post)
    : thread_([this, provider = std::move(provider), mailbox = std::move(mailbox),
               store = std::move(store), post = std::move(post)] {
          SignInOptions options;
          options.cancel = &cancel_;
          SignInOutcome outcome = SignIn(
              provider, mailbox, *store, post,
              [this](const std::string& address) {
                  {
                      std::lock_guard lock(mutex_);
                      address_ = address;
                  }
                  OpenInBrowser(address);
              },
              options);
          std::lock_guard lock(mutex_);
          outcome_ = outcome;
          done_ = true;
      }) {}

SignInTask::~SignInTask() {
    cancel_ = true;
    thread_.join();
}

SignInOutcome SignInTask::Outcome() const {
    std::lock_guard lock(mutex_);
    return outcome_;
}

std::string SignInTask::Address() const {
    std::lock_guard lock(mutex_);
    return address_;
}

} // namespace app
