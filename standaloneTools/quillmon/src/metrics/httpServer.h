// The HTTP/1.1 server under --metrics: Boost.Asio with Beast's request
// parser, every connection on one thread of its own ("quillMetrics"), so
// that idle, slow or hostile clients cost a few KiB each and never hold up a
// scrape. Each connection is bounded: its request line and headers (431 and
// closed beyond HEADER_LIMIT), the time a started request may take, the time
// it may stay idle between requests, and the number open at once (the
// oldest idle one, else the oldest reading one, closed for a newcomer).
// Pipelined requests are answered in order. A request body is refused (400):
// the endpoint only serves GET and HEAD. With TLS files every connection
// first completes a TLS handshake (OpenSSL, TLS 1.2 or later) within the
// request time; one that does not speak TLS is closed.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "metricsOptions.h"
#include "webConfig.h"

namespace quillMetrics {

// The address cannot be served: what() is the ERROR line's text.
class MetricsError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

struct HttpRequest
{
    std::string method; // as sent: "GET", "HEAD", ...
    std::string target; // as sent, with its query
    std::string acceptEncoding;
    std::string authorization;
};

struct HttpAnswer
{
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body; // for HEAD: the length is sent, the body not
};

struct HttpLimits
{
    // The request line and the header fields together.
    size_t headerBytes = 8192;
    // From a request's first byte to its last, and for an answer's writing.
    std::chrono::steady_clock::duration request = std::chrono::seconds(5);
    // Between requests of a kept-alive connection.
    std::chrono::steady_clock::duration idle = std::chrono::seconds(10);
    size_t connections = 64;
};

class HttpServer
{
public:
    using Handler = std::function<HttpAnswer(const HttpRequest&)>;
    // Whether an Authorization value passes: slow (bcrypt), so it runs on a
    // thread of its own ("quillMetricAuth"), one check at a time, while the
    // server's thread goes on serving; a value that passed is remembered
    // (at most MAX_PASSED) and not checked again.
    using Authorizer = std::function<bool(const std::string& authorization)>;
    static constexpr size_t MAX_PASSED = 16;

    // Listening on `address` when it returns, over TLS when `tls` is given;
    // throws MetricsError otherwise. `handler` runs on the server's thread,
    // one request at a time; with `authorize`, only for requests it passed
    // (the others: 401 and a Basic challenge).
    HttpServer(const MetricsAddress& address, Handler handler, const std::optional<TlsFiles>& tls = std::nullopt,
               Authorizer authorize = {}, HttpLimits limits = {});
    // Closes every connection at once.
    ~HttpServer();

    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t Port() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// The status line's reason phrase of the statuses the server sends.
const char* Reason(int status);

} // namespace quillMetrics
