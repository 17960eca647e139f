#include "app/core/http_form.h"

#include <curl/curl.h>
#include <memory>
#include <mutex>

namespace app {

namespace {

// libcurl's global set-up is not thread-safe before 7.84; done once, before any handle.
void InitCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

size_t KeepBody(char* data, size_t size, size_t count, void* user) {
    auto* body = static_cast<std::string*>(user);
    size_t bytes = size * count;
    if (body->size() + bytes > kMaxHttpBody) return 0; // makes libcurl end with an error
    body->append(data, bytes);
    return bytes;
}

struct CurlDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

std::string Escape(CURL* handle, const std::string& text) {
    char* escaped = curl_easy_escape(handle, text.data(), static_cast<int>(text.size()));
    std::string result = escaped ? escaped : "";
    curl_free(escaped);
    return result;
}

} // namespace

std::string FormEncode(const FormFields& fields) {
    InitCurlOnce();
    std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
    std::string form;
    for (const auto& [name, value] : fields) {
        if (!form.empty()) form += '&';
        form += Escape(handle.get(), name) + "=" + Escape(handle.get(), value);
    }
    return form;
}

HttpReply PostForm(const std::string& url, const FormFields& fields,
                   std::chrono::milliseconds bound) {
    InitCurlOnce();
    HttpReply reply;
    std::unique_ptr<CURL, CurlDeleter> handle(curl_easy_init());
    if (!handle) {
        reply.transportError = "libcurl could not start a request";
        return reply;
    }
    std::string form = FormEncode(fields);
    char error[CURL_ERROR_SIZE] = {};
    CURL* h = handle.get();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, form.c_str());
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(form.size()));
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "https,http");
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(bound.count()));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L); // workers are threads: no SIGALRM for names
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, KeepBody);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
    curl_easy_setopt(h, CURLOPT_USERAGENT, "VantroSMTP");
    CURLcode code = curl_easy_perform(h);
    if (code != CURLE_OK) {
        reply.transportError = *error ? error : curl_easy_strerror(code);
        reply.body.clear();
        return reply;
    }
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &reply.status);
    return reply;
}

FormPoster LibcurlPoster() {
    return [](const std::string& url, const FormFields& fields) { return PostForm(url, fields); };
}

} // namespace app
