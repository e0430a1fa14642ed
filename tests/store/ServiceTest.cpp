#include <gtest/gtest.h>

#include <QUrl>
#include <future>

#include "ops/StoreService.h"
#include "store/ProductionStore.h"
#include "tests/support/FaultProxy.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// The store service on the PostgreSQL server of the test command, reached directly or
// through a proxy that stalls and drops connections when told.
class StoreServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!store_.Make(true, dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
    location = store_.location;
  }
  // The store's address through `proxy`.
  std::string Through(const test::FaultProxy& proxy) const {
    QUrl url(QString::fromStdString(location));
    url.setPort(proxy.port());
    return url.toString().toStdString();
  }
  static int ServerPort(const std::string& location) {
    return QUrl(QString::fromStdString(location)).port(5432);
  }
  // A service that opens `where` again at once, and takes a lease at each opening.
  std::unique_ptr<StoreService> Service(const std::string& where) {
    StoreService::Options options;
    options.firstPause = 20ms;
    options.longestPause = 200ms;
    auto service = std::make_unique<StoreService>(ProductionStore::OpenerFor(where), options);
    service->OnConnect([this](RecordStore& s, StoreError& e) {
      ++openings;
      s.Claim(LeaseHolder{"owner-1", "A", "far", "boot", 1, "1"}, e);
    });
    return service;
  }
  static StoreService::Job MakeCounter() {
    return [](RecordStore& s, StoreError& e) {
      Counter counter;
      bool made = false;
      s.EnsureCounter("serial", 1, 1, counter, made, e);
    };
  }
  // Posts a reservation of `count` numbers; the future holds its numbers once it ran.
  static std::future<std::vector<std::uint64_t>> PostReservation(StoreService& service,
                                                                 std::size_t count) {
    auto numbers = std::make_shared<std::vector<std::uint64_t>>();
    auto promise = std::make_shared<std::promise<std::vector<std::uint64_t>>>();
    service.Post(
        [numbers, count](RecordStore& s, StoreError& e) {
          if (const auto block = s.ReserveBlock("serial", count, 1000, "owner-1", "A", e))
            *numbers = *block;
        },
        [numbers, promise](const StoreError& e) {
          promise->set_value(e.kind == StoreError::Kind::kNone ? *numbers
                                                               : std::vector<std::uint64_t>{});
        });
    return promise->get_future();
  }

  test::TempDir dir;
  std::string location;
  std::atomic<int> openings{0};

 private:
  test::TestStore store_;
};

// The server ends the station's session: the next job finds the connection gone, the
// service opens it again (the lease taken again) and runs the job; nobody is told of it.
TEST_F(StoreServiceTest, ADroppedConnectionIsOpenedAgain) {
  auto service = Service(location);
  StoreError error;
  ASSERT_TRUE(service->Open(error, 10s)) << error;
  ASSERT_EQ(service->Call(MakeCounter(), 10s, error), StoreService::Answer::kDone);
  ASSERT_EQ(error.kind, StoreError::Kind::kNone) << error;
  test::TestStore::Sql(location,
                       "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = "
                       "current_database() AND pid <> pg_backend_pid()");
  auto numbers = PostReservation(*service, 3);
  ASSERT_EQ(numbers.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(numbers.get(), (std::vector<std::uint64_t>{1, 2, 3}));
  EXPECT_EQ(openings, 2);
  EXPECT_FALSE(service->state().away);
}

// A server that stalls (every byte held, the connection open): a call waits its deadline
// and no longer, the store is still known as there; what was posted waits and runs once
// the stalled connection is cut and a new one goes through.
TEST_F(StoreServiceTest, AStalledServerCostsACallerOnlyItsDeadline) {
  test::FaultProxy proxy(ServerPort(location));
  auto service = Service(Through(proxy));
  StoreError error;
  ASSERT_TRUE(service->Open(error, 10s)) << error;
  ASSERT_EQ(service->Call(MakeCounter(), 10s, error), StoreService::Answer::kDone);
  proxy.Set(test::FaultProxy::Mode::kStall);
  for (int i = 0; i < 2; ++i) {
    const auto asked = Steady::now();
    EXPECT_EQ(service->Call(MakeCounter(), 300ms, error), StoreService::Answer::kLate);
    EXPECT_LT(Steady::now() - asked, 1500ms);  // its deadline, and room for a loaded machine
  }
  auto numbers = PostReservation(*service, 2);
  EXPECT_EQ(numbers.wait_for(500ms), std::future_status::timeout);
  proxy.Set(test::FaultProxy::Mode::kPass);
  proxy.Drop();
  ASSERT_EQ(numbers.wait_for(20s), std::future_status::ready);
  EXPECT_EQ(numbers.get(), (std::vector<std::uint64_t>{1, 2}));
  EXPECT_GE(openings, 2);
}

// Closing while a job hangs on a stalled server takes the deadline, not the server's time.
TEST_F(StoreServiceTest, ClosingWaitsForNoStalledServer) {
  test::FaultProxy proxy(ServerPort(location));
  {
    auto service = Service(Through(proxy));
    StoreError error;
    ASSERT_TRUE(service->Open(error, 10s)) << error;
    proxy.Set(test::FaultProxy::Mode::kStall);
    service->Post(MakeCounter());
    std::this_thread::sleep_for(100ms);
    const auto closing = Steady::now();
    service->Close(1s);
    EXPECT_LT(Steady::now() - closing, 1500ms);
    const auto ended = Steady::now();
    service.reset();
    EXPECT_LT(Steady::now() - ended, 1s);  // closed once, it waits no more
  }
  // The hung job ends with its connection.
  proxy.Set(test::FaultProxy::Mode::kPass);
  proxy.Drop();
}

}  // namespace
}  // namespace otp
