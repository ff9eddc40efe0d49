#include "runtime/host/http.h"

#include <curl/curl.h>

#include <memory>

#include "runtime/host/shared_library.h"

#ifndef KIV_CURL_SONAME
#define KIV_CURL_SONAME "libcurl.so.4"
#endif

namespace kiv::io {

namespace {

constexpr long kMaxRedirects = 20;

// The functions of libcurl used here, bound at the first request (start-up
// does not load the library and the many it depends on).
struct Curl {
  decltype(&curl_global_init) global_init;
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) setopt;
  decltype(&curl_easy_perform) perform;
  decltype(&curl_easy_getinfo) getinfo;
  decltype(&curl_easy_cleanup) cleanup;
  decltype(&curl_slist_append) slist_append;
  decltype(&curl_slist_free_all) slist_free_all;
};

// Null when the library or one of its functions cannot be had: every
// request then fails as an unreachable host does.
const Curl* curl_library() {
  static const Curl* const library = []() -> const Curl* {
    static Curl c;
    void* lib = shared_library::open(KIV_CURL_SONAME);
    if (!lib) return nullptr;
    using shared_library::bind;
    bool ok = bind(lib, "curl_global_init", &c.global_init) && bind(lib, "curl_easy_init", &c.easy_init) &&
              bind(lib, "curl_easy_setopt", &c.setopt) && bind(lib, "curl_easy_perform", &c.perform) &&
              bind(lib, "curl_easy_getinfo", &c.getinfo) && bind(lib, "curl_easy_cleanup", &c.cleanup) &&
              bind(lib, "curl_slist_append", &c.slist_append) &&
              bind(lib, "curl_slist_free_all", &c.slist_free_all);
    if (!ok) return nullptr;
    c.global_init(CURL_GLOBAL_DEFAULT);
    return &c;
  }();
  return library;
}

// Used only once curl_library has answered, so the library is there.
struct EasyDeleter {
  void operator()(CURL* c) const { curl_library()->cleanup(c); }
};
struct ListDeleter {
  void operator()(curl_slist* l) const { curl_library()->slist_free_all(l); }
};

size_t append_body(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// Header lines arrive one per call, those of every reply on the way through
// redirects: a status line starts the headers of the next reply afresh.
size_t append_header(char* data, size_t size, size_t count, void* user) {
  auto* text = static_cast<std::string*>(user);
  std::string_view line(data, size * count);
  if (line.substr(0, 5) == "HTTP/") text->clear();
  text->append(line);
  return size * count;
}

bool same_name_q(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

bool blank_q(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && blank_q(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank_q(s.back())) s.remove_suffix(1);
  return s;
}

}  // namespace

const HeaderList& default_headers() {
  static const HeaderList headers = {
      {"Content-Type", "application/x-www-form-urlencoded"},
      {"Accept-Charset", "UTF-8"},
      {"User-Agent", "Mozilla/5.0 (Windows NT 6.1; Win64; x64)"},
  };
  return headers;
}

std::optional<HttpReply> request_http(const HttpRequest& request) {
  const Curl* api = curl_library();
  if (!api) return std::nullopt;
  std::unique_ptr<CURL, EasyDeleter> curl(api->easy_init());
  if (!curl) return std::nullopt;
  CURL* c = curl.get();
  HttpReply reply;
  api->setopt(c, CURLOPT_URL, request.url.c_str());
  api->setopt(c, CURLOPT_NOSIGNAL, 1L);
  api->setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  api->setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects);
  api->setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  api->setopt(c, CURLOPT_WRITEFUNCTION, append_body);
  api->setopt(c, CURLOPT_WRITEDATA, &reply.body);
  api->setopt(c, CURLOPT_HEADERFUNCTION, append_header);
  api->setopt(c, CURLOPT_HEADERDATA, &reply.header_text);

  const std::string& method = request.method;
  bool bodiless = method == "GET" || method == "HEAD";
  if (method == "HEAD") api->setopt(c, CURLOPT_NOBODY, 1L);
  else if (method != "GET" && method != "POST") api->setopt(c, CURLOPT_CUSTOMREQUEST, method.c_str());
  if (!bodiless) {
    const std::string empty;
    const std::string& body = request.body ? *request.body : empty;
    // With a custom method the request still carries the body as a POST
    // would; the method line is the custom one.
    api->setopt(c, CURLOPT_POST, 1L);
    api->setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    api->setopt(c, CURLOPT_COPYPOSTFIELDS, body.c_str());
  }

  std::unique_ptr<curl_slist, ListDeleter> list;
  const HeaderList& headers = request.headers ? *request.headers : default_headers();
  for (const auto& [name, value] : headers) {
    // "Name;" sends a header with an empty value; "Name:" would remove it.
    std::string line = value.empty() ? name + ";" : name + ": " + value;
    curl_slist* grown = api->slist_append(list.get(), line.c_str());
    if (!grown) return std::nullopt;
    list.release();
    list.reset(grown);
  }
  // Only the headers named are sent: those libcurl would add on its own
  // (and the "Expect: 100-continue" wait before a large body) are taken off.
  for (const char* own : {"Accept", "Content-Type", "Expect"}) {
    bool named = false;
    for (const auto& header : headers) named = named || same_name_q(header.first, own);
    if (named) continue;
    curl_slist* grown = api->slist_append(list.get(), (std::string(own) + ":").c_str());
    if (!grown) return std::nullopt;
    list.release();
    list.reset(grown);
  }
  api->setopt(c, CURLOPT_HTTPHEADER, list.get());

  if (api->perform(c) != CURLE_OK) return std::nullopt;
  api->getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
  return reply;
}

HeaderList parse_reply_headers(std::string_view text) {
  HeaderList headers;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.substr(0, 5) == "HTTP/") continue;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) continue;
    std::string_view name = trimmed(line.substr(0, colon));
    if (name.empty()) continue;
    headers.emplace_back(std::string(name), std::string(trimmed(line.substr(colon + 1))));
  }
  return headers;
}

}  // namespace kiv::io
