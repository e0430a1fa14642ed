#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "secrets/Password.h"
#include "store/ProductionStore.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "web/FactoryServer.h"

namespace otp {
namespace {

using namespace std::chrono_literals;

// What a server answers to `request`, sent as it stands: its whole answer, up to the
// server's close or a few seconds of silence.
std::string Exchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(fd);
    return {};
  }
  timeval wait{3, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
  for (std::size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;  // the server stopped reading: its answer is already there
    sent += static_cast<std::size_t>(n);
  }
  std::string answer;
  char buffer[4096];
  while (true) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) break;
    answer.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return answer;
}

int StatusOf(const std::string& answer) {
  if (answer.rfind("HTTP/1.1 ", 0) != 0) return 0;
  return std::stoi(answer.substr(9, 3));
}

// The factory view on an SQLite store of the test's own, on a port of the system's.
class HttpTest : public ::testing::Test {
 protected:
  void Serve(web::ServeOptions options = {}) {
    options.store = db;
    options.port = 0;
    options.refresh = 100ms;
    server = std::make_unique<web::FactoryServer>(options);
    std::string error;
    ASSERT_TRUE(server->Start(error)) << error;
    host = "127.0.0.1:" + std::to_string(server->port());
  }
  void SetUp() override {
    StoreError error;
    ASSERT_TRUE(ProductionStore::Open(db, error)) << error;
  }
  std::string Get(const std::string& target, const std::string& headers = {}) {
    return Exchange(server->port(), "GET " + target + " HTTP/1.1\r\nHost: " + host + "\r\n" +
                                        headers + "Connection: close\r\n\r\n");
  }

  test::TempDir dir;
  std::string db = (dir / "production.db").string();
  std::unique_ptr<web::FactoryServer> server;
  std::string host;
};

// Only the server's own names are answered (421 and nothing else for any other: a page
// of another site that a browser here opens, through DNS rebinding, reads nothing);
// --allow-host adds one.
TEST_F(HttpTest, OnlyItsOwnHostNames) {
  web::ServeOptions options;
  options.allowHosts = {"Factory.Example"};
  Serve(options);
  const std::string port = std::to_string(server->port());
  struct Case {
    std::string host;
    int status;
  };
  const Case cases[] = {
      {"127.0.0.1:" + port, 200},
      {"localhost:" + port, 200},
      {"LOCALHOST:" + port, 200},
      {"127.0.0.1", 200},
      {"[::1]:" + port, 200},
      {"factory.example:" + port, 200},
      {"evil.example", 421},
      {"evil.example:" + port, 421},
      {"127.0.0.1:1", 421},
      {"127.0.0.1.evil.example", 421},
      {"", 421},
      {"localhost:" + port + "x", 421},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const std::string answer =
        Exchange(server->port(),
                 "GET /api/stations HTTP/1.1\r\nHost: " + c.host + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 200);
    if (c.status == 421) {
      EXPECT_EQ(answer.find("stations"), std::string::npos) << answer;
    }
  }
  // No Host at all, in HTTP/1.0.
  EXPECT_EQ(StatusOf(Exchange(server->port(), "GET /api/stations HTTP/1.0\r\n\r\n")), 421);
}

// GET and HEAD only: every other method, known or not, is 405 with Allow; HEAD has the
// headers of GET and no body.
TEST_F(HttpTest, ReadsOnly) {
  Serve();
  for (const char* method :
       {"POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE", "PROPFIND", "CONNECT", "BREW"}) {
    SCOPED_TRACE(method);
    const std::string target = std::string(method) == "CONNECT" ? host : "/";
    const std::string answer =
        Exchange(server->port(), std::string(method) + " " + target + " HTTP/1.1\r\nHost: " + host +
                                     "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(StatusOf(answer), 405) << answer.substr(0, 200);
    EXPECT_NE(answer.find("Allow: GET, HEAD\r\n"), std::string::npos) << answer;
  }
  const std::string get = Get("/app.css");
  const std::string head = Exchange(
      server->port(), "HEAD /app.css HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(StatusOf(head), 200);
  const std::string length = get.substr(get.find("Content-Length: "), 24);
  EXPECT_NE(head.find(length.substr(0, length.find('\r'))), std::string::npos) << head;
  EXPECT_EQ(head.substr(head.find("\r\n\r\n") + 4), "");
}

// Paths that climb or hide, in every encoding, are no path of the view; targets that are
// no path are refused; none of them reads a file.
TEST_F(HttpTest, NoPathLeadsOutside) {
  Serve();
  struct Case {
    const char* target;
    int status;
  };
  const Case cases[] = {
      {"/../../../../etc/passwd", 404},
      {"/%2e%2e/%2e%2e/etc/passwd", 404},
      {"/%2E%2E%2F%2E%2E%2Fetc%2Fpasswd", 404},
      {"/..%5c..%5cwindows%5cwin.ini", 404},
      {"/\\..\\..\\etc\\passwd", 404},
      {"//etc/passwd", 404},
      {"/app.js/../../etc/passwd", 404},
      {"/app.js%00.png", 400},
      {"/%00", 400},
      {"/%zz", 400},
      {"/%", 400},
      {"/app.js?%00", 400},
      {"http://evil.example/", 400},
      {"etc/passwd", 400},
      {"*", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const std::string answer = Get(c.target);
    EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 200);
    EXPECT_EQ(answer.find("root:"), std::string::npos);
  }
}

// Headers and targets of several megabytes, and a body where none belongs: each a clear
// status at once, the connection closed, the server as quick as before for the next.
TEST_F(HttpTest, SizesAreBounded) {
  Serve();
  const std::string huge(5 << 20, 'a');
  struct Case {
    const char* what;
    std::string request;
    int status;
  };
  const Case cases[] = {
      {"a target of 5 MiB", "GET /" + huge + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 414},
      {"a target of 9 KiB",
       "GET /?lot=" + std::string(9000, 'L') + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n", 414},
      {"a header of 5 MiB", "GET / HTTP/1.1\r\nHost: " + host + "\r\nX-Big: " + huge + "\r\n\r\n",
       431},
      {"thousands of headers",
       [&] {
         std::string many = "GET / HTTP/1.1\r\nHost: " + host + "\r\n";
         for (int i = 0; i < 5000; ++i)
           many += "X-" + std::to_string(i) + ": x\r\n";
         return many + "\r\n";
       }(),
       431},
      {"a body of 100 KiB",
       "GET / HTTP/1.1\r\nHost: " + host + "\r\nContent-Length: 102400\r\n\r\n" +
           std::string(102400, 'b'),
       413},
      {"no HTTP at all", "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto began = std::chrono::steady_clock::now();
    const std::string answer = Exchange(server->port(), c.request);
    EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 200);
    EXPECT_LT(std::chrono::steady_clock::now() - began, 3s);
    EXPECT_EQ(StatusOf(Get("/api/stations")), 200);
  }
}

// The report's filters: a century is a filter like any (the store's indexes bound its
// cost); a time that is none, a start after its end, a field given twice, ten thousand
// stations named, each a clear status.
TEST_F(HttpTest, AbsurdFilters) {
  Serve();
  std::string stations;
  for (int i = 0; i < 10000; ++i)
    stations += "&station=S" + std::to_string(i);
  struct Case {
    std::string target;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {"/api/report?since=1926-01-01&until=2126-01-01", 200, "\"units\":0"},
      {"/api/report?since=0001-01-01T00:00:00Z", 200, "\"units\":0"},
      {"/api/report?since=-5", 400, "since"},
      {"/api/report?since=2026-13-45", 400, "since"},
      {"/api/report?since=yesterday", 400, "since"},
      {"/api/report?since=2026-12-09&until=2026-12-01", 400, "after until"},
      {"/api/report?station=A&station=B", 400, "once"},
      {"/api/report?x=1" + stations, 414, ""},
      {"/api/report?station=" + std::string(7000, 'S'), 200, "\"units\":0"},
      {"/report?until=2126-01-01&lang=ja", 200, "<html"},
      {"/report.pdf?since=1926-01-01", 200, "%PDF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target.substr(0, 80));
    const std::string answer = Get(c.target);
    EXPECT_EQ(StatusOf(answer), c.status) << answer.substr(0, 300);
    EXPECT_NE(answer.find(c.says), std::string::npos) << answer.substr(0, 300);
  }
}

// Beyond the loopback the view asks who may read it: users over TLS, or --insecure-open
// said out loud; users without TLS are refused, as is half a certificate.
TEST(HttpAudience, BeyondTheLoopbackSomeoneIsNamed) {
  test::TempDir dir;
  const std::string db = (dir / "production.db").string();
  {
    StoreError error;
    ASSERT_TRUE(ProductionStore::Open(db, error)) << error;
  }
  struct Case {
    const char* what;
    std::string host;
    std::string users;
    bool tls;
    bool open;
    const char* refusal;  // null: it starts
  };
  const std::string users =
      dir.Write("users", "ana:$2b$04$RwpKKdTF9mN050o3TY/5jOsVjCtgQSvUgBL2fNH949S7we47cK7yy\n")
          .string();
  const Case cases[] = {
      {"loopback", "127.0.0.1", "", false, false, nullptr},
      {"every network, nobody named", "0.0.0.0", "", false, false, "--insecure-open"},
      {"every network, said out loud", "0.0.0.0", "", false, true, nullptr},
      {"users without TLS", "127.0.0.1", users, false, false, "needs --tls-cert"},
      {"users that are no users", "127.0.0.1", dir.Write("bad", "ana:secret\n").string(), true,
       false, "expected NAME:HASH"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    web::ServeOptions options;
    options.store = db;
    options.host = c.host;
    options.port = 0;
    options.users = c.users;
    options.insecureOpen = c.open;
    if (c.tls) {
      options.certificate = (dir / "cert.pem").string();
      options.key = (dir / "key.pem").string();
    }
    web::FactoryServer server(options);
    std::string error;
    const bool started = server.Start(error);
    EXPECT_EQ(started, c.refusal == nullptr) << error;
    if (c.refusal) {
      EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
    if (started && c.open) {
      EXPECT_EQ(server.audience(), web::Audience::kAnyone);
    }
  }
  web::ServeOptions half;
  half.store = db;
  half.port = 0;
  half.certificate = "cert.pem";
  web::FactoryServer server(half);
  std::string error;
  EXPECT_FALSE(server.Start(error));
  EXPECT_NE(error.find("both"), std::string::npos) << error;
}

// Over TLS with users: nobody reads without signing in (401 and its challenge), a wrong
// password is refused, the right one reads, an address that keeps guessing is told to
// wait; plain HTTP to it gets nothing; the password shows nowhere.
TEST(HttpAudience, UsersSignInOverTls) {
  test::TempDir dir;
  const std::string db = (dir / "production.db").string();
  {
    StoreError error;
    ASSERT_TRUE(ProductionStore::Open(db, error)) << error;
  }
  const std::string cert = (dir / "cert.pem").string();
  const std::string key = (dir / "key.pem").string();
  test::Process openssl("/usr/bin/openssl",
                        {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                         cert, "-days", "1", "-subj", "/CN=localhost"});
  if (openssl.Wait() != 0) GTEST_SKIP() << "openssl cannot make a certificate here";
  const std::string users = (dir / "users").string();
  test::Process add(OTP_CLI_PROGRAM, {"users", "add", users, "ana"}, "Qz8Kv-pass-word\n");
  ASSERT_EQ(add.Wait(), 0) << add.Errors();
  EXPECT_EQ(test::TempDir::ReadFile(users).find("Qz8Kv"), std::string::npos);
  EXPECT_EQ(std::filesystem::status(users).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  web::ServeOptions options;
  options.store = db;
  options.port = 0;
  options.users = users;
  options.certificate = cert;
  options.key = key;
  web::FactoryServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(error)) << error;
  EXPECT_EQ(server.audience(), web::Audience::kUsers);
  EXPECT_EQ(server.users(), 1u);
  httplib::SSLClient client("127.0.0.1", server.port());
  client.enable_server_certificate_verification(false);
  auto anonymous = client.Get("/api/stations");
  ASSERT_TRUE(anonymous) << httplib::to_string(anonymous.error());
  EXPECT_EQ(anonymous->status, 401);
  EXPECT_NE(anonymous->get_header_value("WWW-Authenticate").find("Basic realm="),
            std::string::npos);
  client.set_basic_auth("ana", "not-her-password");
  EXPECT_EQ(client.Get("/api/stations")->status, 401);
  client.set_basic_auth("ana", "Qz8Kv-pass-word");
  const auto signedIn = client.Get("/");
  ASSERT_TRUE(signedIn);
  EXPECT_EQ(signedIn->status, 200);
  EXPECT_EQ(signedIn->body.find("Qz8Kv"), std::string::npos);
  // Plain HTTP to the TLS port: no page.
  EXPECT_NE(StatusOf(Exchange(server.port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")), 200);
  // Guessing: after ten wrong passwords a minute, the address waits.
  client.set_basic_auth("ana", "guess");
  int waited = 0;
  for (int i = 0; i < 12; ++i) {
    const auto guess = client.Get("/api/stations");
    ASSERT_TRUE(guess);
    waited += guess->status == 429 ? 1 : 0;
  }
  EXPECT_GE(waited, 1);
}

// Passwords: an Argon2id hash of its own, and the bcrypt ones other tools make, match
// their password only; anything else is no hash and matches nothing.
TEST(Passwords, HashesMatchOnlyTheirPassword) {
  const std::string argon = secrets::HashPassword("Qz8Kv-argon");
  EXPECT_EQ(argon.rfind("$argon2id$", 0), 0u) << argon;
  EXPECT_EQ(argon.find("Qz8Kv"), std::string::npos);
  EXPECT_TRUE(secrets::VerifyPassword(argon, "Qz8Kv-argon"));
  EXPECT_FALSE(secrets::VerifyPassword(argon, "Qz8Kv-argoN"));
  // Made by the C library's crypt with a bcrypt salt, as htpasswd -B makes them.
  const std::string bcrypt = "$2b$04$RwpKKdTF9mN050o3TY/5jOsVjCtgQSvUgBL2fNH949S7we47cK7yy";
  EXPECT_TRUE(secrets::VerifyPassword(bcrypt, "Qz8Kv-bcrypt"));
  EXPECT_FALSE(secrets::VerifyPassword(bcrypt, "Qz8Kv-bcrypT"));
  for (const std::string& none :
       {std::string(), std::string("Qz8Kv-plain"), std::string("$1$md5$whatever"),
        bcrypt.substr(0, 59), std::string("$argon2id$broken")}) {
    EXPECT_FALSE(secrets::KnownHash(none) && secrets::VerifyPassword(none, "Qz8Kv-plain")) << none;
  }
}

}  // namespace
}  // namespace otp
