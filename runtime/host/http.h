// HTTP and HTTPS requests, made synchronously through libcurl: the read and
// write actions of url! hand their requests here. libcurl does the
// connection, TLS (with the system's certificate store), redirects and
// proxies; a connection that cannot be made within kConnectTimeoutSeconds
// fails.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kiv::io {

constexpr long kConnectTimeoutSeconds = 30;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct HttpRequest {
  std::string method = "GET";  // upper case
  std::string url;
  // Sent as given; when absent the default headers are sent instead.
  std::optional<HeaderList> headers;
  // The body (never sent with GET or HEAD).
  std::optional<std::string> body;
};

struct HttpReply {
  long status = 0;
  // The header lines of the last reply (after redirects), as received.
  std::string header_text;
  std::string body;
};

// The reply, or nothing when the request could not be made (a bad url, no
// connection, a broken transfer).
std::optional<HttpReply> request_http(const HttpRequest& request);

// The headers sent when a request names none.
const HeaderList& default_headers();

// The name and value of each header line of a reply's header text, in
// order. A name ends at the first ":"; the value has the blanks around it
// taken off; a line may end in LF or CR LF; the status line and lines with
// no ":" are passed over.
HeaderList parse_reply_headers(std::string_view text);

}  // namespace kiv::io
