// One HTTPS request of a form (application/x-www-form-urlencoded) by POST, through libcurl:
// what an OAuth 2.0 token endpoint takes. Certificates are verified; no redirect followed.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace app {

struct HttpReply {
    long status = 0;            // the HTTP status; 0 when no reply came
    std::string body;           // at most kMaxHttpBody bytes
    std::string transportError; // why no reply came (empty when one did)
};

// A token endpoint's answer is a few kilobytes; a peer sending more is not one.
inline constexpr size_t kMaxHttpBody = 1 << 20;

using FormFields = std::vector<std::pair<std::string, std::string>>;
using FormPoster = std::function<HttpReply(const std::string& url, const FormFields& fields)>;

// The poster the program uses: libcurl, `bound` for the whole request.
HttpReply PostForm(const std::string& url, const FormFields& fields,
                   std::chrono::milliseconds bound = std::chrono::seconds(30));

// PostForm as a FormPoster, with its default bound.
FormPoster LibcurlPoster();

// "a=1&b=2", each name and value percent-encoded as a form wants.
std::string FormEncode(const FormFields& fields);

} // namespace app
