#include "httpServer.h"

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <openssl/err.h>
#include <pthread.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>

#include "lumo/Format.h"

namespace asio = boost::asio;
namespace http = boost::beast::http;
using asio::ip::tcp;
using boost::system::error_code;

namespace quillMetrics {

namespace {

// A failed accept (out of descriptors) is tried again after this long, not at once.
constexpr auto ACCEPT_RETRY = std::chrono::milliseconds(100);
constexpr size_t LINGER_CHUNK = 4096;

} // namespace

const char* Reason(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 431:
        return "Request Header Fields Too Large";
    default:
        return "Internal Server Error";
    }
}

class HttpServer::Impl
{
public:
    Impl(const MetricsAddress& address, Handler handler, const std::optional<TlsFiles>& tls, Authorizer authorize,
         HttpLimits limits);
    ~Impl();

    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    uint16_t Port() const { return port_; }

private:
    class Connection;
    using Open = std::list<std::shared_ptr<Connection>>;

    void Accept();
    // Room for a newcomer: closes the oldest idle connection, else the
    // oldest one still reading its request; false when every one is writing.
    bool MakeRoom();
    // Calls `done` on the server's thread with whether `authorization`
    // passes: at once when it passed before, else after the check.
    void Authorize(const std::string& authorization, std::function<void(bool)> done);
    void Check();

    const Handler handler_;
    const Authorizer authorize_;
    std::set<std::string> passed_; // the server's thread only
    const HttpLimits limits_;
    asio::io_context io_;
    std::optional<asio::ssl::context> tls_;
    tcp::acceptor acceptor_;
    asio::steady_timer acceptRetry_;
    uint16_t port_ = 0;
    Open open_; // oldest first; touched on the server's thread only
    std::thread thread_;

    std::mutex checksMutex_;
    std::condition_variable checksChanged_;
    std::deque<std::pair<std::string, std::function<void(bool)>>> checks_; // checksMutex_
    bool checksStopping_ = false;                                          // checksMutex_
    std::thread checking_;
};

class HttpServer::Impl::Connection : public std::enable_shared_from_this<Connection>
{
public:
    enum class State
    {
        Idle,
        Reading,
        Writing,
        Lingering,
        Closed
    };

    Connection(Impl& server, tcp::socket socket)
        : server_(server)
        , socket_(std::move(socket))
        , timer_(server.io_)
        , buffer_(server.limits_.headerBytes)
    {
    }

    void Start(Open::iterator self)
    {
        self_ = self;
        if (!server_.tls_) {
            Next();
            return;
        }
        tls_.emplace(socket_, *server_.tls_);
        state_ = State::Reading;
        Deadline(server_.limits_.request);
        tls_->async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](const error_code& error) {
            if (error || self->state_ == State::Closed) {
                self->Close();
                return;
            }
            self->Next();
        });
    }

    State Current() const { return state_; }

    void Close()
    {
        if (state_ == State::Closed) {
            return;
        }
        state_ = State::Closed;
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_both, ignored);
        socket_.close(ignored);
        timer_.cancel();
        server_.open_.erase(self_); // may end this object once its handlers return
    }

private:
    // The socket, or the TLS stream over it.
    template <typename Act>
    void OnStream(Act act)
    {
        if (tls_) {
            act(*tls_);
        } else {
            act(socket_);
        }
    }

    // Waits for the next request: idle until its first byte, then bounded
    // until its last header line. Pipelined bytes are already here. Over
    // TLS the socket's readiness does not say a request is there (TLS may
    // hold one already read), so the idle time and the request's are one.
    void Next()
    {
        if (buffer_.size() > 0) {
            Read(State::Reading, server_.limits_.request);
            return;
        }
        if (tls_) {
            Read(State::Idle, server_.limits_.idle + server_.limits_.request);
            return;
        }
        state_ = State::Idle;
        Deadline(server_.limits_.idle);
        socket_.async_wait(tcp::socket::wait_read, [self = shared_from_this()](const error_code& error) {
            if (error || self->state_ == State::Closed) {
                self->Close();
                return;
            }
            self->Read(State::Reading, self->server_.limits_.request);
        });
    }

    void Read(State state, std::chrono::steady_clock::duration within)
    {
        state_ = state;
        Deadline(within);
        parser_.emplace();
        parser_->header_limit(static_cast<uint32_t>(server_.limits_.headerBytes));
        parser_->body_limit(0);
        OnStream([this](auto& stream) {
            http::async_read(stream, buffer_, *parser_,
                             [self = shared_from_this()](const error_code& error, size_t) { self->Answer(error); });
        });
    }

    void Answer(const error_code& error)
    {
        if (state_ == State::Closed) {
            return;
        }
        if (error == http::error::header_limit || error == http::error::buffer_overflow) {
            Send(Formatted({431, {}, ""}, false, false), false);
            return;
        }
        if (error == http::error::body_limit || error == http::error::unexpected_body ||
            (error && parser_->is_header_done())) {
            Send(Formatted({400, {}, ""}, false, false), false);
            return;
        }
        if (error) { // closed, timed out, or not HTTP at all
            Close();
            return;
        }
        const auto& request = parser_->get();
        HttpRequest asked;
        asked.method = std::string(request.method_string());
        asked.target = std::string(request.target());
        asked.acceptEncoding = std::string(request[http::field::accept_encoding]);
        asked.authorization = std::string(request[http::field::authorization]);
        const bool keepAlive = request.keep_alive();
        if (!server_.authorize_) {
            Respond(asked, keepAlive, true);
            return;
        }
        // Still reading as far as eviction and the request's time go: a
        // client whose check waits is the first closed for a newcomer.
        server_.Authorize(asked.authorization, [self = shared_from_this(), asked, keepAlive](bool passed) {
            self->Respond(asked, keepAlive, passed);
        });
    }

    void Respond(const HttpRequest& asked, bool keepAlive, bool authorized)
    {
        if (state_ == State::Closed) {
            return;
        }
        HttpAnswer answer{401,
                          {{"WWW-Authenticate", "Basic realm=\"lumoQuillmon\""},
                           {"Content-Type", "text/plain; charset=utf-8"}},
                          "Unauthorized\n"};
        if (authorized) {
            try {
                answer = server_.handler_(asked);
            } catch (const std::exception&) {
                answer = {500, {}, ""};
            }
        }
        Send(Formatted(answer, asked.method != "HEAD", keepAlive), keepAlive);
    }

    static std::string Formatted(const HttpAnswer& answer, bool withBody, bool keepAlive)
    {
        std::string out = lumo::format("HTTP/1.1 {} {}\r\n", answer.status, Reason(answer.status));
        for (const auto& [name, value] : answer.headers) {
            out += lumo::format("{}: {}\r\n", name, value);
        }
        out += lumo::format("Content-Length: {}\r\n", answer.body.size());
        if (!keepAlive) {
            out += "Connection: close\r\n";
        }
        out += "\r\n";
        if (withBody) {
            out += answer.body;
        }
        return out;
    }

    void Send(std::string bytes, bool keepAlive)
    {
        state_ = State::Writing;
        Deadline(server_.limits_.request);
        out_ = std::move(bytes);
        OnStream([this, keepAlive](auto& stream) {
            asio::async_write(stream, asio::buffer(out_),
                              [self = shared_from_this(), keepAlive](const error_code& error, size_t) {
                                  self->out_.clear();
                                  self->out_.shrink_to_fit();
                                  if (error || self->state_ == State::Closed) {
                                      self->Close();
                                  } else if (keepAlive) {
                                      self->Next();
                                  } else {
                                      self->Linger();
                                  }
                              });
        });
    }

    // After the last answer: the client may still be sending (the rest of a
    // refused header block). Closing with its bytes unread would reset the
    // connection and could drop the answer before the client reads it, so
    // they are read and dropped until it closes, within the request's time
    // (over TLS as they come: they are dropped unread).
    void Linger()
    {
        state_ = State::Lingering;
        error_code ignored;
        socket_.shutdown(tcp::socket::shutdown_send, ignored);
        buffer_.clear();
        if (!lingerStarted_) {
            lingerStarted_ = true;
            Deadline(server_.limits_.request);
        }
        socket_.async_read_some(asio::buffer(drain_), [self = shared_from_this()](const error_code& error, size_t) {
            if (error || self->state_ == State::Closed) {
                self->Close();
            } else {
                self->Linger();
            }
        });
    }

    void Deadline(std::chrono::steady_clock::duration after)
    {
        timer_.expires_after(after);
        timer_.async_wait([self = shared_from_this()](const error_code& error) {
            if (!error && self->timer_.expiry() <= std::chrono::steady_clock::now()) {
                self->Close();
            }
        });
    }

    Impl& server_;
    tcp::socket socket_;
    std::optional<asio::ssl::stream<tcp::socket&>> tls_;
    asio::steady_timer timer_;
    boost::beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::string out_;
    std::array<char, LINGER_CHUNK> drain_{};
    bool lingerStarted_ = false;
    State state_ = State::Idle;
    Open::iterator self_;
};

HttpServer::Impl::Impl(const MetricsAddress& address, Handler handler, const std::optional<TlsFiles>& tls,
                       Authorizer authorize, HttpLimits limits)
    : handler_(std::move(handler))
    , authorize_(std::move(authorize))
    , limits_(limits)
    , acceptor_(io_)
    , acceptRetry_(io_)
{
    error_code error;
    if (tls) {
        tls_.emplace(asio::ssl::context::tls_server);
        tls_->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                          asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
        for (const auto& [file, use] : {std::pair{tls->certFile, true}, std::pair{tls->keyFile, false}}) {
            if (use) {
                tls_->use_certificate_chain_file(file, error);
            } else {
                tls_->use_private_key_file(file, asio::ssl::context::pem, error);
            }
            if (error) {
                // asio says only "asio.ssl error"; a file not there is said as the system says it.
                const bool readable = std::ifstream(file).is_open();
                const char* reason = readable ? ERR_reason_error_string(static_cast<unsigned long>(error.value()))
                                              : std::strerror(errno);
                throw MetricsError(lumo::format("cannot serve metrics on {}: the TLS {} {}: {}", address.Text(),
                                                use ? "certificate" : "key", file,
                                                reason != nullptr ? reason : error.message()));
            }
        }
    }
    const auto ip = asio::ip::make_address(address.host, error);
    const tcp::endpoint endpoint(ip, address.port);
    if (!error) {
        acceptor_.open(endpoint.protocol(), error);
    }
    if (!error) {
        acceptor_.set_option(tcp::acceptor::reuse_address(true), error);
    }
    if (!error) {
        acceptor_.bind(endpoint, error);
    }
    if (!error) {
        acceptor_.listen(asio::socket_base::max_listen_connections, error);
    }
    if (!error) {
        port_ = acceptor_.local_endpoint(error).port();
    }
    if (error) {
        const int code = error.value();
        throw MetricsError(lumo::format("cannot serve metrics on {}: {}{}", address.Text(), std::strerror(code),
                                        code == EADDRNOTAVAIL ? " (not an address of this host)" : ""));
    }
    Accept();
    thread_ = std::thread([this] {
        ::pthread_setname_np(::pthread_self(), "quillMetrics");
        io_.run();
    });
    if (authorize_) {
        checking_ = std::thread([this] {
            ::pthread_setname_np(::pthread_self(), "quillMetricAuth");
            Check();
        });
    }
}

HttpServer::Impl::~Impl()
{
    if (checking_.joinable()) {
        {
            std::lock_guard lock(checksMutex_);
            checksStopping_ = true;
        }
        checksChanged_.notify_all();
        checking_.join();
    }
    io_.stop();
    thread_.join();
    checks_.clear();
    for (const auto& connection : Open(open_)) {
        connection->Close();
    }
}

void HttpServer::Impl::Accept()
{
    acceptor_.async_accept([this](const error_code& error, tcp::socket socket) {
        if (error == asio::error::operation_aborted) {
            return;
        }
        if (error) {
            acceptRetry_.expires_after(ACCEPT_RETRY);
            acceptRetry_.async_wait([this](const error_code& stopped) {
                if (!stopped) {
                    Accept();
                }
            });
            return;
        }
        if (open_.size() < limits_.connections || MakeRoom()) {
            auto connection = std::make_shared<Connection>(*this, std::move(socket));
            open_.push_back(connection);
            connection->Start(std::prev(open_.end()));
        }
        Accept();
    });
}

void HttpServer::Impl::Authorize(const std::string& authorization, std::function<void(bool)> done)
{
    if (passed_.count(authorization) != 0) {
        done(true);
        return;
    }
    auto back = [this, authorization, done = std::move(done)](bool passed) {
        asio::post(io_, [this, authorization, done, passed] {
            if (passed) {
                if (passed_.size() >= MAX_PASSED) {
                    passed_.clear();
                }
                passed_.insert(authorization);
            }
            done(passed);
        });
    };
    {
        std::lock_guard lock(checksMutex_);
        checks_.emplace_back(authorization, std::move(back));
    }
    checksChanged_.notify_one();
}

void HttpServer::Impl::Check()
{
    std::unique_lock lock(checksMutex_);
    for (;;) {
        checksChanged_.wait(lock, [this] { return checksStopping_ || !checks_.empty(); });
        if (checksStopping_) {
            return;
        }
        auto [authorization, done] = std::move(checks_.front());
        checks_.pop_front();
        lock.unlock();
        done(authorize_(authorization));
        lock.lock();
    }
}

bool HttpServer::Impl::MakeRoom()
{
    for (const auto wanted : {Connection::State::Idle, Connection::State::Lingering, Connection::State::Reading}) {
        for (const auto& connection : open_) {
            if (connection->Current() == wanted) {
                const auto victim = connection; // its list entry goes with Close()
                victim->Close();
                return true;
            }
        }
    }
    return false;
}

HttpServer::HttpServer(const MetricsAddress& address, Handler handler, const std::optional<TlsFiles>& tls,
                       Authorizer authorize, HttpLimits limits)
    : impl_(std::make_unique<Impl>(address, std::move(handler), tls, std::move(authorize), limits))
{
}

HttpServer::~HttpServer() = default;

uint16_t HttpServer::Port() const
{
    return impl_->Port();
}

} // namespace quillMetrics
