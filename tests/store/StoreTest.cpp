#include <gtest/gtest.h>

#include <unistd.h>
#include <QCoreApplication>

#include <cstdlib>
#include <set>
#include <sstream>

#include "store/ProductionStore.h"
#include "tests/support/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestStore.h"

namespace otp {
namespace {

// Each test runs on SQLite, and on PostgreSQL when the test command started a server for it
// (OTP_TEST_POSTGRES holds its address).
class StoreTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    if (!store_.Make(GetParam(), dir)) GTEST_SKIP() << "no PostgreSQL server (OTP_TEST_POSTGRES)";
    location = store_.location;
  }
  static void Psql(const std::string& database, const std::string& sql) {
    test::TestStore::Sql(database, sql);
  }
  std::unique_ptr<ProductionStore> Open() {
    std::string error;
    auto store = ProductionStore::Open(location, error);
    EXPECT_TRUE(store) << error;
    return store;
  }

  test::TempDir dir;
  std::string location;

 private:
  test::TestStore store_;
};

// Reserved, then used, released (and issued again) or spoiled (never again); a station's
// leftovers spoiled at its next start.
TEST_P(StoreTest, SerialNumberStates) {
  auto store = Open();
  ASSERT_TRUE(store);
  std::string error;
  EXPECT_EQ(store->Reserve("serial", 100, 5, "A", error), 100u);
  EXPECT_TRUE(store->Settle("serial", 100, SerialState::kUsed, error)) << error;
  EXPECT_EQ(store->Reserve("serial", 100, 5, "A", error), 105u);
  EXPECT_TRUE(store->Settle("serial", 105, SerialState::kReleased, error));
  EXPECT_EQ(store->Reserve("serial", 100, 5, "B", error), 105u);  // released: issued again
  EXPECT_TRUE(store->Settle("serial", 105, SerialState::kSpoiled, error));
  EXPECT_EQ(store->Reserve("serial", 100, 5, "A", error), 110u);  // spoiled: never again
  EXPECT_FALSE(store->Settle("serial", 100, SerialState::kReleased, error));  // used stays used
  EXPECT_EQ(store->Reserve("serial", 100, 5, "B", error), 115u);
  // Station A stops with 110 reserved; at its next start 110 is spoiled, B's 115 is not.
  store.reset();
  store = Open();
  EXPECT_EQ(store->SpoilLeftovers("A", error), std::vector<std::uint64_t>{110});
  EXPECT_EQ(store->Reserve("serial", 100, 5, "A", error), 120u);
  EXPECT_TRUE(store->Settle("serial", 115, SerialState::kUsed, error)) << error;
}

TEST_P(StoreTest, AttemptsAreKept) {
  auto store = Open();
  ASSERT_TRUE(store);
  Attempt pass;
  pass.started = "2026-12-07T10:00:00Z";
  pass.ended = "2026-12-07T10:00:19Z";
  pass.station = "line-1";
  pass.port = "COM1";
  pass.device = "/dev/ttyUSB0";
  pass.model = "KT47C150";
  pass.clock = "8MHz";
  pass.image = "app.mhx";
  pass.crc32 = 0xDEADBEEF;
  pass.serial = 42;
  pass.serialState = "used";
  pass.result = "pass";
  pass.seconds = 19.5;
  Attempt fail = pass;
  fail.started = "2026-12-07T11:00:00Z";
  fail.serial.reset();
  fail.serialState = "";
  fail.result = "fail";
  fail.exitStatus = 2;
  fail.reportId = 203;
  fail.reportText = " No.003 Timeout error";
  fail.firstDifference = 0xC010;
  std::string error;
  ASSERT_TRUE(store->Record(pass, error)) << error;
  ASSERT_TRUE(store->Record(fail, error)) << error;
  const auto all = store->Attempts("", error);
  ASSERT_TRUE(all) << error;
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ((*all)[0].crc32, 0xDEADBEEFu);
  EXPECT_EQ((*all)[0].serial, 42u);
  EXPECT_EQ((*all)[0].seconds, 19.5);
  EXPECT_FALSE((*all)[1].serial);
  EXPECT_EQ((*all)[1].reportId, 203u);
  EXPECT_EQ((*all)[1].firstDifference, 0xC010u);
  EXPECT_EQ(store->Attempts("2026-12-07T10:30:00Z", error)->size(), 1u);
}

// Two stations reserving at once never share a number.
TEST_P(StoreTest, TwoStationsNeverShareANumber) {
  Open();  // the schema, before both start
  test::Process a(OTP_STORE_RESERVER, {location, "A", "500"});
  test::Process b(OTP_STORE_RESERVER, {location, "B", "500"});
  ASSERT_EQ(a.Wait(), 0) << a.Errors();
  ASSERT_EQ(b.Wait(), 0) << b.Errors();
  std::set<std::uint64_t> numbers;
  for (const std::string& out : {a.Output(), b.Output()}) {
    std::istringstream lines(out);
    std::uint64_t number = 0;
    while (lines >> number)
      EXPECT_TRUE(numbers.insert(number).second) << number << " issued twice";
  }
  EXPECT_EQ(numbers.size(), 1000u);
  EXPECT_EQ(*numbers.rbegin(), 1000u);
}

// A schema newer than this program knows is refused and left alone.
TEST_P(StoreTest, NewerSchemaIsRefused) {
  Open();
  const std::string bump = "UPDATE otp_schema SET version = 99";
  if (GetParam()) {
    Psql(location, bump);
  } else {
    test::Process sqlite("/usr/bin/sqlite3", {location, bump});
    if (sqlite.Wait() != 0) GTEST_SKIP() << "no sqlite3 program";
  }
  std::string error;
  EXPECT_FALSE(ProductionStore::Open(location, error));
  EXPECT_NE(error.find("schema version 99 is newer"), std::string::npos) << error;
}

TEST(Store, UnreachableStoreSaysWhy) {
  std::string error;
  EXPECT_FALSE(ProductionStore::Open("/no/such/folder/production.db", error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(ProductionStore::Open("postgresql://nobody@127.0.0.1:1/none", error));
  EXPECT_NE(error.find("127.0.0.1"), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Stores, StoreTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "PostgreSQL" : "SQLite"; });

}  // namespace
}  // namespace otp

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
