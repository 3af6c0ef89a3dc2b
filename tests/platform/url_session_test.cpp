#include "skald/platform/url_session.h"

#include <dirent.h>
#include <gtest/gtest.h>

#include <httplib.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>
#include "support/eventually.h"
#include "support/loopback_http_server.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "fake_netlink_source.h"
#include "skald/platform/operation_queue.h"
#include "platform/dispatch/serial_queue.h"

namespace skald::platform {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using test::eventually;

/// Holds server handlers until the test lets them go.
class Gate {
  public:
    void open() {
        std::lock_guard guard(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = 10s) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return open_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
};

using TestServer = test::LoopbackHttpServer;
using test::HttpRequestLog;

/// A loopback port that nobody listens on (bound, so nobody else takes it).
class ClosedPort {
  public:
    ClosedPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
    }
    ~ClosedPort() { release(); }
    void release() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int port() const { return port_; }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

/// Answers one connection with fixed bytes and hangs up: for broken servers.
class RawServer {
  public:
    explicit RawServer(std::string reply) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(fd_, 4);
        socklen_t length = sizeof address;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this, reply = std::move(reply)] {
            const int client = ::accept(fd_, nullptr, nullptr);
            if (client < 0) return;
            std::string request;
            char buffer[4096];
            while (request.find("\r\n\r\n") == std::string::npos) {
                const auto got = ::read(client, buffer, sizeof buffer);
                if (got <= 0) break;
                request.append(buffer, static_cast<size_t>(got));
            }
            [[maybe_unused]] auto sent = ::write(client, reply.data(), reply.size());
            ::close(client);
            received_.set_value(request);
        });
    }
    /// The request's head as it came over the wire.
    std::string received() {
        auto future = received_.get_future();
        return future.wait_for(10s) == std::future_status::ready ? future.get() : "";
    }
    ~RawServer() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
    std::promise<std::string> received_;
    std::thread thread_;
};

struct Outcome {
    std::string body;
    std::optional<HttpResponse> response;
    std::optional<Error> error;
    bool onDelegateQueue = false;
};

/// Runs a data task and waits for its completion; counts how often it came.
struct TaskRun {
    std::shared_ptr<UrlSessionDataTask> task;
    std::shared_ptr<std::atomic<int>> calls = std::make_shared<std::atomic<int>>(0);
    std::future<Outcome> outcome;

    TaskRun(UrlSession& session, UrlRequest request) {
        auto promise = std::make_shared<std::promise<Outcome>>();
        outcome = promise->get_future();
        auto queue = session.delegateQueue();
        task = session.dataTask(
            std::move(request),
            [promise, queue, calls = calls](std::string body, std::optional<HttpResponse> response,
                                            std::optional<Error> error) {
                if (calls->fetch_add(1) == 0) {
                    promise->set_value({std::move(body), std::move(response), std::move(error),
                                        queue->isCurrent()});
                }
            });
    }
    Outcome wait(std::chrono::seconds limit = 15s) {
        if (outcome.wait_for(limit) != std::future_status::ready) {
            ADD_FAILURE() << "the task did not complete";
            return {};
        }
        return outcome.get();
    }
};

Outcome fetch(UrlSession& session, UrlRequest request) {
    TaskRun run(session, std::move(request));
    run.task->resume();
    return run.wait();
}

int64_t codeOf(const Outcome& outcome) {
    return outcome.error ? outcome.error->code : 0;
}

class UrlSessionTest : public ::testing::Test {
  protected:
    void TearDown() override {
        gate.open();
        server.stop();
    }

    Gate gate;
    TestServer server;
    std::shared_ptr<UrlSession> session =
        UrlSession::make(UrlSessionConfiguration::ephemeralConfiguration());
};

// MARK: - Requests and responses

TEST_F(UrlSessionTest, GetAndPostArriveExactlyAndTheAnswerComesBack) {
    std::mutex mutex;
    std::vector<httplib::Request> seen;
    const auto record = [&](const httplib::Request& request, httplib::Response& response) {
        std::lock_guard guard(mutex);
        seen.push_back(request);
        response.status = 201;
        response.set_header("X-Answer", "42");
        response.set_content("created:" + request.method, "text/plain; charset=utf-8");
    };
    server->Get("/thing", record);
    server->Post("/thing", record);
    server->Put("/thing", record);
    server.start();

    UrlRequest get(server.url("/thing?q=1"));
    get.setValueForHeader("one", "X-Request");
    // Uncompressed, so that the announced length is the body's.
    get.setValueForHeader("identity", "Accept-Encoding");
    const auto got = fetch(*session, get);
    ASSERT_FALSE(got.error) << got.error->description();
    ASSERT_TRUE(got.response);
    EXPECT_EQ(got.response->statusCode, 201);
    EXPECT_EQ(got.response->header("x-answer"), "42");
    EXPECT_EQ(got.response->mimeType(), "text/plain");
    EXPECT_EQ(got.response->expectedContentLength, 11);
    EXPECT_EQ(got.response->url, server.url("/thing?q=1"));
    EXPECT_EQ(got.body, "created:GET");

    // A binary body well past the size at which curl would otherwise ask for 100 Continue.
    std::string body(300 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
    UrlRequest post(server.url("/thing"));
    post.httpMethod = "POST";
    post.httpBody = body;
    post.setValueForHeader("application/x-skald-envelope", "Content-Type");
    TaskRun run(*session, post);
    run.task->resume();
    const auto posted = run.wait();
    ASSERT_FALSE(posted.error) << posted.error->description();
    EXPECT_EQ(posted.body, "created:POST");
    EXPECT_EQ(run.task->countOfBytesSent(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(run.task->countOfBytesExpectedToSend(), static_cast<int64_t>(body.size()));
    EXPECT_EQ(run.task->countOfBytesReceived(), 12);

    UrlRequest put(server.url("/thing"));
    put.httpMethod = "PUT";
    put.httpBody = "x";
    EXPECT_EQ(fetch(*session, put).body, "created:PUT");

    std::lock_guard guard(mutex);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].get_param_value("q"), "1");
    EXPECT_EQ(seen[0].get_header_value("X-Request"), "one");
    EXPECT_EQ(seen[1].method, "POST");
    EXPECT_EQ(seen[1].body, body);
    EXPECT_EQ(seen[1].get_header_value("Content-Type"), "application/x-skald-envelope");
    EXPECT_FALSE(seen[1].has_header("Expect"));
    EXPECT_EQ(seen[2].method, "PUT");
    EXPECT_EQ(seen[2].body, "x");
}

TEST_F(UrlSessionTest, HeadersGoOutAsGivenButCannotSmuggleInOthers) {
    RawServer raw("HTTP/1.1 204 No Content\r\n\r\n");
    UrlRequest request(raw.url("/"));
    request.setValueForHeader("a\r\nX-Injected: yes", "X-Value");
    request.setValueForHeader("fine", "X-Other");
    request.setValueForHeader("", "X-Empty");
    EXPECT_EQ(fetch(*session, request).response->statusCode, 204);
    const auto head = raw.received();
    EXPECT_EQ(head.find("X-Injected"), std::string::npos) << head;
    EXPECT_EQ(head.find("X-Value"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-Other: fine\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("\r\nX-Empty:\r\n"), std::string::npos) << head;
    EXPECT_EQ(head.find("Expect"), std::string::npos) << head;
}

TEST_F(UrlSessionTest, StatusAndHeadersAreThoseOfTheLastResponse) {
    server->Get("/old", [](const httplib::Request&, httplib::Response& response) {
        response.set_header("X-Hop", "first");
        response.set_redirect("/new", 302);
    });
    server->Get("/new", [](const httplib::Request&, httplib::Response& response) {
        response.status = 404;
        response.set_content("gone", "text/plain");
    });
    server->Post("/continue", [](const httplib::Request& request, httplib::Response& response) {
        response.set_content("got " + std::to_string(request.body.size()), "text/plain");
    });
    server.start();

    TaskRun run(*session, UrlRequest(server.url("/old")));
    run.task->resume();
    const auto redirected = run.wait();
    ASSERT_TRUE(redirected.response);
    EXPECT_EQ(redirected.response->statusCode, 404);
    EXPECT_FALSE(redirected.response->header("X-Hop"));
    EXPECT_FALSE(redirected.response->header("Location"));
    EXPECT_EQ(redirected.response->url, server.url("/new"));
    EXPECT_EQ(run.task->currentRequest().url, server.url("/new"));
    EXPECT_EQ(run.task->originalRequest().url, server.url("/old"));
    EXPECT_FALSE(redirected.error) << "an HTTP error status is not a transport error";

    // The interim "100 Continue" is not the answer.
    UrlRequest request(server.url("/continue"));
    request.httpMethod = "POST";
    request.httpBody = "abc";
    request.setValueForHeader("100-continue", "Expect");
    const auto continued = fetch(*session, request);
    ASSERT_TRUE(continued.response);
    EXPECT_EQ(continued.response->statusCode, 200);
    EXPECT_EQ(continued.body, "got 3");
}

// MARK: - Redirects

UrlRequest postWithCredentials(const std::string& url, std::optional<UrlRedirectPolicy> policy) {
    UrlRequest request(url);
    request.httpMethod = "POST";
    request.httpBody = "payload";
    request.setValueForHeader("Skald skald_key=public,skald_secret=secret", "X-Skald-Auth");
    request.setValueForHeader("application/x-skald-envelope", "Content-Type");
    request.redirectPolicy = policy;
    return request;
}

TEST_F(UrlSessionTest, EachRedirectPolicyFollowsOnlyWhatItAllowsAndCredentialsStayHome) {
    TestServer elsewhere;
    HttpRequestLog elsewhereLog;
    elsewhere->Post(".*", [&](const httplib::Request& request, httplib::Response& response) {
        elsewhereLog.add(request);
        response.set_content("elsewhere", "text/plain");
    });
    elsewhere.start();
    // Another port and another host name for the same machine.
    const std::string foreign = "http://localhost:" + std::to_string(elsewhere.port()) + "/collect";

    HttpRequestLog landingLog;
    std::atomic<int> loops{0};
    server->Post("/envelope", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(foreign, 307);
    });
    server->Post("/moved", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/landing", 307);
    });
    server->Post("/see-other", [](const httplib::Request&, httplib::Response& response) {
        response.set_redirect("/landing", 303);
    });
    const auto land = [&](const httplib::Request& request, httplib::Response& response) {
        landingLog.add(request);
        response.set_content("landed", "text/plain");
    };
    server->Post("/landing", land);
    server->Get("/landing", land);
    server->Get("/loop", [&](const httplib::Request&, httplib::Response& response) {
        ++loops;
        response.set_redirect("/loop", 302);
    });
    server.start();

    // Same origin only: a redirect elsewhere fails without a response.
    TaskRun refusedRun(*session,
                       postWithCredentials(server.url("/envelope"), UrlRedirectPolicy::SameOrigin));
    refusedRun.task->resume();
    const auto refused = refusedRun.wait();
    EXPECT_EQ(codeOf(refused), kUrlErrorRedirectToOtherOrigin);
    EXPECT_FALSE(refused.response) << "a redirect is not the server's answer";
    EXPECT_FALSE(refusedRun.task->response());
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->userInfo["redirectURL"], foreign);
    EXPECT_EQ(refused.error->userInfo[kUrlErrorFailingUrlStringKey], server.url("/envelope"));
    EXPECT_TRUE(elsewhereLog.all().empty());

    // Same origin: followed, with method, body and credentials.
    const auto moved =
        fetch(*session, postWithCredentials(server.url("/moved"), UrlRedirectPolicy::SameOrigin));
    EXPECT_FALSE(moved.error) << moved.error->description();
    EXPECT_EQ(moved.body, "landed");
    ASSERT_EQ(landingLog.all().size(), 1u);
    EXPECT_EQ(landingLog.all()[0].method, "POST");
    EXPECT_EQ(landingLog.all()[0].body, "payload");
    EXPECT_EQ(landingLog.all()[0].get_header_value("X-Skald-Auth"),
              "Skald skald_key=public,skald_secret=secret");

    // 303 asks for a GET: no body and none of the body's headers.
    const auto seeOther = fetch(
        *session, postWithCredentials(server.url("/see-other"), UrlRedirectPolicy::SameOrigin));
    EXPECT_EQ(seeOther.body, "landed");
    ASSERT_EQ(landingLog.all().size(), 2u);
    EXPECT_EQ(landingLog.all()[1].method, "GET");
    EXPECT_TRUE(landingLog.all()[1].body.empty());
    EXPECT_FALSE(landingLog.all()[1].has_header("Content-Type"));

    // The session's default follows elsewhere, but the request's headers
    // and the session's own stay behind.
    auto configuration = UrlSessionConfiguration::ephemeralConfiguration();
    configuration.httpAdditionalHeaders.emplace("X-Session", "session secret");
    auto lenient = UrlSession::make(configuration);
    const auto followed = fetch(*lenient, postWithCredentials(server.url("/envelope"), {}));
    EXPECT_FALSE(followed.error) << followed.error->description();
    EXPECT_EQ(followed.body, "elsewhere");
    const auto reached = elsewhereLog.all();
    ASSERT_EQ(reached.size(), 1u);
    const auto& abroad = reached[0];
    EXPECT_EQ(abroad.method, "POST") << "307 keeps the method";
    EXPECT_EQ(abroad.body, "payload");
    EXPECT_FALSE(abroad.has_header("X-Skald-Auth"));
    EXPECT_FALSE(abroad.has_header("X-Session"));

    // No policy: the redirect itself is the answer.
    const auto unfollowed =
        fetch(*session, postWithCredentials(server.url("/envelope"), UrlRedirectPolicy::None));
    EXPECT_FALSE(unfollowed.error);
    ASSERT_TRUE(unfollowed.response);
    EXPECT_EQ(unfollowed.response->statusCode, 307);
    EXPECT_EQ(unfollowed.response->header("Location"), foreign);
    EXPECT_EQ(elsewhereLog.all().size(), 1u);

    // A loop ends after the session's limit.
    auto limited = UrlSessionConfiguration::ephemeralConfiguration();
    limited.maximumRedirects = 3;
    const auto looped = fetch(*UrlSession::make(limited), UrlRequest(server.url("/loop")));
    EXPECT_EQ(codeOf(looped), kUrlErrorHttpTooManyRedirects);
    EXPECT_FALSE(looped.response);
    EXPECT_EQ(loops.load(), 4);
    elsewhere.stop();
}

// MARK: - Failures

TEST_F(UrlSessionTest, AStalledRequestTimesOutButASlowOneDoesNot) {
    server->Get("/stall", [&](const httplib::Request&, httplib::Response&) { gate.wait(); });
    server->Get("/trickle", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain",
                                              [](size_t offset, httplib::DataSink& sink) {
                                                  if (offset >= 6) {
                                                      sink.done();
                                                      return true;
                                                  }
                                                  std::this_thread::sleep_for(300ms);
                                                  sink.write("x", 1);
                                                  return true;
                                              });
    });
    server.start();

    UrlRequest stalled(server.url("/stall"));
    stalled.timeoutInterval = 1;
    const auto begin = Clock::now();
    const auto timedOut = fetch(*session, stalled);
    const auto elapsed = Clock::now() - begin;
    EXPECT_EQ(codeOf(timedOut), kUrlErrorTimedOut);
    EXPECT_EQ(timedOut.error->domain, kUrlErrorDomain);
    EXPECT_GE(elapsed, 900ms);
    EXPECT_LT(elapsed, 5s);

    // Nearly two seconds in all, but never a second without data.
    UrlRequest slow(server.url("/trickle"));
    slow.timeoutInterval = 1;
    // A compressing server would hold the trickle back.
    slow.setValueForHeader("identity", "Accept-Encoding");
    const auto trickled = fetch(*session, slow);
    EXPECT_FALSE(trickled.error) << trickled.error->description();
    EXPECT_EQ(trickled.body, "xxxxxx");
}

TEST_F(UrlSessionTest, CancelReportsCancelledExactlyOnce) {
    server->Get("/stall", [&](const httplib::Request&, httplib::Response&) { gate.wait(); });
    server.start();

    TaskRun run(*session, UrlRequest(server.url("/stall")));
    run.task->resume();
    std::this_thread::sleep_for(100ms);
    run.task->cancel();
    run.task->cancel();
    const auto cancelled = run.wait();
    EXPECT_EQ(codeOf(cancelled), kUrlErrorCancelled);
    EXPECT_EQ(cancelled.error->userInfo.value(kUrlErrorFailingUrlStringKey, ""),
              server.url("/stall"));
    gate.open();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(run.calls->load(), 1);
    EXPECT_EQ(run.task->state(), UrlSessionTaskState::Completed);
    run.task->resume();
    EXPECT_EQ(run.task->state(), UrlSessionTaskState::Completed);

    // Never resumed: still ends, and only once.
    TaskRun idle(*session, UrlRequest(server.url("/stall")));
    idle.task->cancel();
    EXPECT_EQ(codeOf(idle.wait()), kUrlErrorCancelled);
    idle.task->resume();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(idle.calls->load(), 1);
}

TEST_F(UrlSessionTest, BrokenConnectionsAndServersGiveTheirErrors) {
    ClosedPort closed;
    const auto begin = Clock::now();
    const auto refused = fetch(*session, UrlRequest(closed.url("/")));
    EXPECT_EQ(codeOf(refused), kUrlErrorCannotConnectToHost);
    EXPECT_LT(Clock::now() - begin, 2s);
    EXPECT_FALSE(refused.response);
    EXPECT_FALSE(refused.error->localizedDescription.empty());

    // Headers arrived, the body did not: both response and error are given.
    RawServer cut("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly this");
    const auto partial = fetch(*session, UrlRequest(cut.url("/")));
    EXPECT_EQ(codeOf(partial), kUrlErrorNetworkConnectionLost);
    ASSERT_TRUE(partial.response);
    EXPECT_EQ(partial.response->statusCode, 200);

    RawServer garbage("this is not HTTP at all\r\n\r\n");
    const auto nonsense = fetch(*session, UrlRequest(garbage.url("/")));
    EXPECT_EQ(codeOf(nonsense), kUrlErrorBadServerResponse);

    RawServer silent("");
    EXPECT_EQ(codeOf(fetch(*session, UrlRequest(silent.url("/")))), kUrlErrorNetworkConnectionLost);

    EXPECT_EQ(codeOf(fetch(*session, UrlRequest("ftp://127.0.0.1/file"))), kUrlErrorUnsupportedUrl);
    EXPECT_EQ(codeOf(fetch(*session, UrlRequest(""))), kUrlErrorBadUrl);
}

TEST_F(UrlSessionTest, AnEnormousResponseIsCutWithAnError) {
    server->Get("/announced", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(std::string(3 * 1024 * 1024, 'a'), "application/octet-stream");
    });
    server->Get("/endless", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
            const std::string chunk(64 * 1024, 'b');
            return sink.write(chunk.data(), chunk.size());
        });
    });
    server.start();
    auto configuration = UrlSessionConfiguration::ephemeralConfiguration();
    configuration.maximumResponseSize = 1024 * 1024;
    auto capped = UrlSession::make(configuration);

    for (const char* path : {"/announced", "/endless"}) {
        const auto outcome = fetch(*capped, UrlRequest(server.url(path)));
        EXPECT_EQ(codeOf(outcome), kUrlErrorDataLengthExceedsMaximum) << path;
        EXPECT_LE(outcome.body.size(), configuration.maximumResponseSize) << path;
        ASSERT_TRUE(outcome.response) << path;
        EXPECT_EQ(outcome.response->statusCode, 200);
    }
    // The default limit takes a 3 MiB body in its stride.
    EXPECT_EQ(fetch(*session, UrlRequest(server.url("/announced"))).body.size(), 3u * 1024 * 1024);
}

// MARK: - HTTPS

/// A self-signed certificate for 127.0.0.1, written where a session can trust it.
struct SelfSignedCertificate {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    std::string path;

    SelfSignedCertificate() {
        X509_set_version(certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(certificate), 24 * 3600);
        X509_set_pubkey(certificate, key);
        X509_NAME* name = X509_get_subject_name(certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("skald test"), -1, -1, 0);
        X509_set_issuer_name(certificate, name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
        for (auto [nid, value] : {std::pair{NID_subject_alt_name, "IP:127.0.0.1"},
                                  std::pair{NID_basic_constraints, "critical,CA:TRUE"}}) {
            X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
            X509_add_ext(certificate, extension, -1);
            X509_EXTENSION_free(extension);
        }
        X509_sign(certificate, key, EVP_sha256());
        path = (std::filesystem::temp_directory_path() /
                ("skald-test-ca-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) +
                 ".pem"))
                   .string();
        FILE* file = std::fopen(path.c_str(), "w");
        PEM_write_X509(file, certificate);
        std::fclose(file);
    }
    static inline int counter = 0;

    ~SelfSignedCertificate() {
        std::filesystem::remove(path);
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
};

TEST(UrlSessionHttpsTest, TrustsASelfSignedCertificateOnlyWhenTold) {
    SelfSignedCertificate certificate;
    TestServer server(
        std::make_unique<httplib::SSLServer>(certificate.certificate, certificate.key));
    server->Get("/secure", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("secret", "text/plain");
    });
    server.start();

    auto configuration = UrlSessionConfiguration::ephemeralConfiguration();
    configuration.caInfo = certificate.path;
    const auto trusted =
        fetch(*UrlSession::make(configuration), UrlRequest(server.url("/secure", "https")));
    EXPECT_FALSE(trusted.error) << trusted.error->description();
    EXPECT_EQ(trusted.body, "secret");

    const auto rejected =
        fetch(*UrlSession::make(UrlSessionConfiguration::ephemeralConfiguration()),
              UrlRequest(server.url("/secure", "https")));
    EXPECT_EQ(codeOf(rejected), kUrlErrorSecureConnectionFailed);
    EXPECT_FALSE(rejected.response);

    // Trusting another certificate replaces the store rather than adding to it.
    SelfSignedCertificate unrelated;
    configuration.caInfo = unrelated.path;
    const auto stranger =
        fetch(*UrlSession::make(configuration), UrlRequest(server.url("/secure", "https")));
    EXPECT_EQ(codeOf(stranger), kUrlErrorSecureConnectionFailed);
}

/// What one download task ended with.
struct Download {
    std::string content;
    std::optional<HttpResponse> response;
    std::optional<Error> error;
};

Download download(UrlSession& session, const std::string& url) {
    std::promise<Download> done;
    auto task = session.downloadTask(
        UrlRequest(url), [&](std::string location, std::optional<HttpResponse> response,
                             std::optional<Error> error) {
            std::ifstream file(location, std::ios::binary);
            done.set_value(
                {location.empty() ? "" : std::string(std::istreambuf_iterator<char>(file), {}),
                 std::move(response), std::move(error)});
        });
    task->resume();
    auto future = done.get_future();
    if (future.wait_for(15s) != std::future_status::ready) {
        ADD_FAILURE() << "the download did not end";
        return {};
    }
    return future.get();
}

TEST(UrlSessionHttpsTest, DownloadsFollowRedirectsUpToHttpsAndWithinItButNeverDown) {
    SelfSignedCertificate certificate;
    TestServer secure(
        std::make_unique<httplib::SSLServer>(certificate.certificate, certificate.key));
    TestServer otherSecure(
        std::make_unique<httplib::SSLServer>(certificate.certificate, certificate.key));
    TestServer plain;
    std::atomic<int> plainFiles{0};
    secure->Get("/Vantorel.dmg", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("secure image", "application/octet-stream");
    });
    otherSecure->Get("/Vantorel.zip", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("other secure archive", "application/zip");
    });
    plain->Get("/Vantorel.dmg", [&](const httplib::Request&, httplib::Response& response) {
        ++plainFiles;
        response.set_content("plain image", "application/octet-stream");
    });
    // Each target's address is looked up when the redirect is made.
    secure->Get("/down", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(plain.url("/Vantorel.dmg"), 302);
    });
    secure->Get("/across", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(otherSecure.url("/Vantorel.zip", "https"), 302);
    });
    plain->Get("/up", [&](const httplib::Request&, httplib::Response& response) {
        response.set_redirect(secure.url("/Vantorel.dmg", "https"), 301);
    });
    secure.start();
    otherSecure.start();
    plain.start();

    // Made as the installer makes its session, trusting the test certificate.
    auto configuration = UrlSessionConfiguration::defaultConfiguration();
    configuration.waitsForConnectivity = true;
    configuration.caInfo = certificate.path;
    auto session = UrlSession::make(configuration, {}, OperationQueue::make("downloads", 1));

    const auto down = download(*session, secure.url("/down", "https"));
    EXPECT_EQ(down.error ? down.error->code : 0, kUrlErrorSecureConnectionRequired);
    EXPECT_FALSE(down.response);
    EXPECT_TRUE(down.content.empty());
    EXPECT_EQ(plainFiles.load(), 0) << "nothing was fetched over http";

    const auto up = download(*session, plain.url("/up"));
    EXPECT_FALSE(up.error) << up.error->description();
    EXPECT_EQ(up.content, "secure image");
    ASSERT_TRUE(up.response);
    EXPECT_EQ(up.response->url, secure.url("/Vantorel.dmg", "https"));

    const auto across = download(*session, secure.url("/across", "https"));
    EXPECT_FALSE(across.error) << across.error->description();
    EXPECT_EQ(across.content, "other secure archive");
    ASSERT_TRUE(across.response);
    EXPECT_EQ(across.response->url, otherSecure.url("/Vantorel.zip", "https"));
}

// MARK: - Threads and queues

int threadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string text;
        std::getline(comm, text);
        if (text == name) ++count;
    }
    return count;
}

TEST_F(UrlSessionTest, ManyTasksRunAtOnceOnOneWorkerThread) {
    constexpr int kTasks = 12;
    constexpr int kTogether = 4;
    std::mutex mutex;
    std::condition_variable changed;
    int inFlight = 0;
    int most = 0;
    server->Get("/wait", [&](const httplib::Request& request, httplib::Response& response) {
        std::unique_lock lock(mutex);
        most = std::max(most, ++inFlight);
        changed.notify_all();
        // Answers once several requests are in at the same time.
        changed.wait_for(lock, 5s, [&] { return most >= kTogether; });
        --inFlight;
        response.set_content(request.get_param_value("n"), "text/plain");
    });
    server.start();

    auto second = UrlSession::make(UrlSessionConfiguration::defaultConfiguration());
    std::vector<std::unique_ptr<TaskRun>> runs;
    for (int i = 0; i < kTasks; ++i) {
        auto& target = i % 2 == 0 ? *session : *second;
        runs.push_back(std::make_unique<TaskRun>(
            target, UrlRequest(server.url("/wait?n=" + std::to_string(i)))));
    }
    for (auto& run : runs) run->task->resume();
    for (int i = 0; i < kTasks; ++i) {
        const auto outcome = runs[i]->wait();
        EXPECT_EQ(outcome.body, std::to_string(i));
        EXPECT_TRUE(outcome.onDelegateQueue);
    }
    EXPECT_GE(most, kTogether);
    EXPECT_EQ(threadsNamed("skald-url"), 1);
}

class RecordingDelegate : public UrlSessionDelegate {
  public:
    void didCompleteWithError(UrlSession& session, UrlSessionTask& task,
                              const std::optional<Error>& error) override {
        std::lock_guard guard(mutex);
        completions.push_back({task.taskIdentifier(), error ? error->code : 0});
        onQueue = onQueue && session.delegateQueue()->isCurrent();
    }
    void taskIsWaitingForConnectivity(UrlSession&, UrlSessionTask&) override { ++waiting; }
    void didWriteData(UrlSession& session, UrlSessionDownloadTask&, int64_t written, int64_t total,
                      int64_t expected) override {
        std::lock_guard guard(mutex);
        progress.push_back({written, total, expected});
        onQueue = onQueue && session.delegateQueue()->isCurrent();
    }
    void didFinishDownloadingToUrl(UrlSession&, UrlSessionDownloadTask&,
                                   const std::string& location) override {
        std::lock_guard guard(mutex);
        std::ifstream file(location, std::ios::binary);
        downloaded.assign(std::istreambuf_iterator<char>(file), {});
        downloadLocation = location;
    }
    void didBecomeInvalidWithError(UrlSession&, const std::optional<Error>&) override {
        ++invalidated;
    }
    size_t completed() {
        std::lock_guard guard(mutex);
        return completions.size();
    }

    struct Progress {
        int64_t written, total, expected;
    };
    std::mutex mutex;
    std::vector<std::pair<uint64_t, int64_t>> completions;
    std::vector<Progress> progress;
    std::string downloaded;
    std::string downloadLocation;
    bool onQueue = true;
    std::atomic<int> waiting{0};
    std::atomic<int> invalidated{0};
};

TEST_F(UrlSessionTest, DelegatesHearOnTheirQueueAndInvalidationEndsTheSession) {
    server->Get("/ok", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("ok", "text/plain");
    });
    server->Get("/stall", [&](const httplib::Request&, httplib::Response&) { gate.wait(); });
    server.start();
    auto delegate = std::make_shared<RecordingDelegate>();
    auto queue = std::make_shared<SerialQueue>("test-delegate");
    auto delegated =
        UrlSession::make(UrlSessionConfiguration::defaultConfiguration(), delegate, queue);
    EXPECT_EQ(delegated->delegateQueue(), queue);

    auto ok = delegated->dataTask(UrlRequest(server.url("/ok")));
    auto stalled = delegated->dataTask(UrlRequest(server.url("/stall")));
    auto neverResumed = delegated->dataTask(UrlRequest(server.url("/ok")));
    ok->resume();
    ASSERT_TRUE(eventually([&] { return delegate->completed() == 1; }));
    stalled->resume();
    EXPECT_EQ(delegated->allTasks().size(), 2u);

    delegated->invalidateAndCancel();
    ASSERT_TRUE(eventually([&] { return delegate->invalidated.load() == 1; }));
    {
        std::lock_guard guard(delegate->mutex);
        ASSERT_EQ(delegate->completions.size(), 3u);
        EXPECT_EQ(delegate->completions[0], std::make_pair(ok->taskIdentifier(), int64_t{0}));
        EXPECT_EQ(delegate->completions[1].second, kUrlErrorCancelled);
        EXPECT_EQ(delegate->completions[2].second, kUrlErrorCancelled);
        EXPECT_TRUE(delegate->onQueue);
    }
    EXPECT_EQ(neverResumed->state(), UrlSessionTaskState::Completed);

    // A task of an invalidated session fails as soon as it is resumed.
    const auto late = fetch(*delegated, UrlRequest(server.url("/ok")));
    EXPECT_EQ(codeOf(late), kUrlErrorUnknown);

    // Finishing lets the running task end normally first.
    auto finishing = UrlSession::make(UrlSessionConfiguration::defaultConfiguration(), delegate);
    TaskRun run(*finishing, UrlRequest(server.url("/ok")));
    run.task->resume();
    finishing->finishTasksAndInvalidate();
    EXPECT_EQ(run.wait().body, "ok");
    EXPECT_TRUE(eventually([&] { return delegate->invalidated.load() == 2; }));
}

TEST_F(UrlSessionTest, ASuspendedTransferWaitsUntilResumed) {
    server->Get("/held", [&](const httplib::Request&, httplib::Response& response) {
        gate.wait();
        response.set_content("done", "text/plain");
    });
    server.start();
    TaskRun run(*session, UrlRequest(server.url("/held")));
    run.task->suspend();  // not started yet: nothing to suspend
    EXPECT_EQ(run.task->state(), UrlSessionTaskState::Suspended);
    run.task->resume();
    std::this_thread::sleep_for(100ms);
    run.task->suspend();
    EXPECT_EQ(run.task->state(), UrlSessionTaskState::Suspended);
    gate.open();
    EXPECT_EQ(run.outcome.wait_for(400ms), std::future_status::timeout);
    run.task->resume();
    EXPECT_EQ(run.wait().body, "done");
}

// MARK: - Observers

class RecordingTaskObserver : public UrlSessionTaskObserver {
  public:
    void willResume(UrlSessionTask& task) override {
        if (task.taskIdentifier() != watched) return;
        std::lock_guard guard(mutex);
        events.push_back("resume while " + name(task.state()));
        auto request = task.currentRequest();
        request.setValueForHeader("abc-1", "skald-trace");
        task.setCurrentRequest(request);
    }
    void willChangeState(UrlSessionTask& task, UrlSessionTaskState newState) override {
        if (task.taskIdentifier() != watched) return;
        std::lock_guard guard(mutex);
        std::string event = name(task.state()) + " -> " + name(newState);
        if (auto response = task.response())
            event += " status " + std::to_string(response->statusCode);
        if (auto error = task.error()) event += " error " + std::to_string(error->code);
        events.push_back(event);
    }
    static std::string name(UrlSessionTaskState state) {
        switch (state) {
            case UrlSessionTaskState::Running:
                return "running";
            case UrlSessionTaskState::Suspended:
                return "suspended";
            case UrlSessionTaskState::Canceling:
                return "canceling";
            case UrlSessionTaskState::Completed:
                return "completed";
        }
        return "?";
    }
    std::vector<std::string> snapshot() {
        std::lock_guard guard(mutex);
        return events;
    }

    std::atomic<uint64_t> watched{0};
    std::mutex mutex;
    std::vector<std::string> events;
};

TEST_F(UrlSessionTest, ObserversHearEachResumeAndStateChangeOnceBeforeItHappens) {
    std::promise<std::string> traceHeader;
    server->Get("/traced", [&](const httplib::Request& request, httplib::Response& response) {
        traceHeader.set_value(request.get_header_value("skald-trace"));
        response.status = 204;
    });
    server->Get("/stall", [&](const httplib::Request&, httplib::Response&) { gate.wait(); });
    server.start();
    auto observer = std::make_shared<RecordingTaskObserver>();
    const auto token = UrlSessionTaskObservers::add(observer);

    TaskRun run(*session, UrlRequest(server.url("/traced")));
    observer->watched = run.task->taskIdentifier();
    run.task->resume();
    run.task->resume();
    run.wait();
    EXPECT_EQ(traceHeader.get_future().get(), "abc-1");
    EXPECT_EQ(run.task->currentRequest().valueForHeader("skald-trace"), "abc-1");
    EXPECT_FALSE(run.task->originalRequest().valueForHeader("skald-trace"));
    EXPECT_FALSE(run.task->setCurrentRequest(UrlRequest("http://elsewhere.invalid/")));
    EXPECT_EQ(observer->snapshot(),
              (std::vector<std::string>{"resume while suspended", "suspended -> running",
                                        "running -> completed status 204"}));

    TaskRun cancelled(*session, UrlRequest(server.url("/stall")));
    observer->watched = cancelled.task->taskIdentifier();
    {
        std::lock_guard guard(observer->mutex);
        observer->events.clear();
    }
    cancelled.task->resume();
    cancelled.task->cancel();
    cancelled.wait();
    EXPECT_EQ(
        observer->snapshot(),
        (std::vector<std::string>{"resume while suspended", "suspended -> running",
                                  "running -> canceling", "canceling -> completed error -999"}));
    UrlSessionTaskObservers::remove(token);
}

// MARK: - Waiting for connectivity

TEST_F(UrlSessionTest, AWaitingTaskTriesAgainWhenTheNetworkComesBack) {
    auto kernel = test::makeFakeNetlink();
    auto monitor =
        std::make_shared<ReachabilityMonitor>(std::make_unique<test::FakeNetlinkSource>(kernel));
    auto delegate = std::make_shared<RecordingDelegate>();
    auto configuration = UrlSessionConfiguration::defaultConfiguration();
    configuration.waitsForConnectivity = true;
    configuration.connectivityRetryInterval = 3600;
    configuration.reachabilityMonitor = monitor;
    auto waiting = UrlSession::make(configuration, delegate);

    ClosedPort port;
    TaskRun run(*waiting, UrlRequest(port.url("/late")));
    run.task->resume();
    ASSERT_TRUE(eventually([&] { return delegate->waiting.load() == 1; }));
    ASSERT_TRUE(monitor->waitForFirstReport(5s));
    EXPECT_EQ(run.outcome.wait_for(300ms), std::future_status::timeout);

    // The server appears; nothing happens until the route does.
    server->Get("/late", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("finally", "text/plain");
    });
    port.release();
    server.start(port.port());
    EXPECT_EQ(run.outcome.wait_for(300ms), std::future_status::timeout);
    kernel->addRoute(test::defaultRouteVia(2));
    const auto outcome = run.wait();
    EXPECT_FALSE(outcome.error) << outcome.error->description();
    EXPECT_EQ(outcome.body, "finally");
    EXPECT_EQ(delegate->waiting.load(), 1);
}

TEST_F(UrlSessionTest, WaitingEndsWithTheResourceTimeout) {
    auto kernel = test::makeFakeNetlink();
    auto configuration = UrlSessionConfiguration::defaultConfiguration();
    configuration.waitsForConnectivity = true;
    configuration.connectivityRetryInterval = 0.2;
    configuration.timeoutIntervalForResource = 1;
    configuration.reachabilityMonitor =
        std::make_shared<ReachabilityMonitor>(std::make_unique<test::FakeNetlinkSource>(kernel));
    auto waiting = UrlSession::make(configuration);
    ClosedPort port;
    const auto begin = Clock::now();
    const auto outcome = fetch(*waiting, UrlRequest(port.url("/")));
    EXPECT_EQ(codeOf(outcome), kUrlErrorTimedOut);
    EXPECT_GE(Clock::now() - begin, 900ms);
    EXPECT_NE(outcome.error->localizedDescription.find("waiting for connectivity"),
              std::string::npos);
}

// MARK: - Downloads and proxies

TEST_F(UrlSessionTest, ADownloadWritesAFileAndReportsProgress) {
    std::string content(200 * 1024, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
    server->Get("/Vantorel.ZIP", [&](const httplib::Request&, httplib::Response& response) {
        response.set_content(content, "application/zip");
    });
    server->Get("/chunked", [](const httplib::Request&, httplib::Response& response) {
        response.set_chunked_content_provider("text/plain",
                                              [](size_t offset, httplib::DataSink& sink) {
                                                  if (offset > 0) {
                                                      sink.done();
                                                      return true;
                                                  }
                                                  return sink.write("part", 4);
                                              });
    });
    server.start();
    auto delegate = std::make_shared<RecordingDelegate>();
    auto downloads = UrlSession::make(UrlSessionConfiguration::defaultConfiguration(), delegate);

    auto task = downloads->downloadTask(UrlRequest(server.url("/Vantorel.ZIP")));
    task->resume();
    ASSERT_TRUE(eventually([&] { return delegate->completed() == 1; }));
    {
        std::lock_guard guard(delegate->mutex);
        EXPECT_EQ(delegate->downloaded, content);
        EXPECT_FALSE(std::filesystem::exists(delegate->downloadLocation))
            << "removed after the callback";
        ASSERT_FALSE(delegate->progress.empty());
        int64_t sum = 0;
        for (const auto& step : delegate->progress) {
            sum += step.written;
            EXPECT_EQ(step.total, sum);
            EXPECT_EQ(step.expected, static_cast<int64_t>(content.size()));
        }
        EXPECT_EQ(sum, static_cast<int64_t>(content.size()));
        EXPECT_EQ(delegate->completions[0].second, 0);
        EXPECT_TRUE(delegate->onQueue);
    }
    EXPECT_EQ(task->response()->url, server.url("/Vantorel.ZIP"));

    std::promise<std::pair<std::string, int64_t>> got;
    auto chunked = downloads->downloadTask(
        UrlRequest(server.url("/chunked")),
        [&](std::string location, std::optional<HttpResponse> response, std::optional<Error>) {
            std::ifstream file(location);
            got.set_value({std::string(std::istreambuf_iterator<char>(file), {}),
                           response ? response->expectedContentLength : -2});
        });
    chunked->resume();
    EXPECT_EQ(got.get_future().get(),
              std::make_pair(std::string("part"), kUrlSessionTransferSizeUnknown));
}

TEST_F(UrlSessionTest, TheProxyEnvironmentIsHonoured) {
    std::promise<std::string> proxied;
    server->Get(".*", [&](const httplib::Request& request, httplib::Response& response) {
        proxied.set_value(request.get_header_value("Host"));
        response.set_content("via proxy", "text/plain");
    });
    server.start();
    const std::string target = "http://skald-proxy-check.invalid/path";
    ::setenv("http_proxy", server.url("").c_str(), 1);
    const auto outcome = fetch(*session, UrlRequest(target));
    auto direct = UrlSessionConfiguration::ephemeralConfiguration();
    direct.proxy = "";
    const auto bypassed = fetch(*UrlSession::make(direct), UrlRequest(target));
    ::unsetenv("http_proxy");

    EXPECT_EQ(outcome.body, "via proxy");
    EXPECT_EQ(proxied.get_future().get(), "skald-proxy-check.invalid");
    EXPECT_EQ(codeOf(bypassed), kUrlErrorCannotFindHost);
}

}  // namespace
}  // namespace skald::platform
