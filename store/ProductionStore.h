#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace otp {

/// One attempt to burn a unit, as quality control reads it later.
struct Attempt {
  std::string started;  // UTC, ISO 8601: "2026-12-07T12:34:56Z"
  std::string ended;
  std::string station;
  std::string port;
  std::string device;
  std::string model;
  std::string clock;
  std::string image;  // the image file's name
  std::uint32_t crc32 = 0;
  std::optional<std::uint64_t> serial;
  std::string serialState;  // used, released, spoiled; empty without a serial number
  std::string result;       // pass, fail, interrupted
  int exitStatus = 0;
  std::optional<unsigned> reportId;  // the failing report's catalogue number
  std::string reportText;
  std::optional<std::uint32_t> firstDifference;
  double seconds = 0;
};

/// The states of a serial number once it was issued.
enum class SerialState { kReserved, kUsed, kReleased, kSpoiled };
const char* SerialStateName(SerialState state);

/// Production records and serial numbers in a database: an SQLite file, or a PostgreSQL
/// server that several stations share. The schema is made on first use and carries a
/// version; a newer one than this program knows is refused, never altered. Every change is
/// one transaction, and a unique key backs the rule that no number is issued twice.
class ProductionStore {
 public:
  /// The schema version this program writes.
  static constexpr int kSchemaVersion = 1;

  /// Opens `location`: "postgresql://USER@HOST[:PORT]/DBNAME" (the password from
  /// PGPASSWORD or .pgpass), else the name of an SQLite file. Null, with `error`, when it
  /// cannot be reached or holds an unknown schema.
  static std::unique_ptr<ProductionStore> Open(const std::string& location, std::string& error);
  ~ProductionStore();
  ProductionStore(const ProductionStore&) = delete;
  ProductionStore& operator=(const ProductionStore&) = delete;

  /// Reserves the next number of `counter` for `station`: a released number first, else
  /// the counter's next (`start` when the counter is new), which then grows by `step`.
  std::optional<std::uint64_t> Reserve(const std::string& counter, std::uint64_t start,
                                       std::uint64_t step, const std::string& station,
                                       std::string& error);
  /// Moves a reserved number to `state` (used, released or spoiled).
  bool Settle(const std::string& counter, std::uint64_t number, SerialState state,
              std::string& error);
  /// Spoils every number that `station` still holds reserved (it stopped mid-unit), and
  /// returns them.
  std::optional<std::vector<std::uint64_t>> SpoilLeftovers(const std::string& station,
                                                           std::string& error);

  /// Adds an attempt.
  bool Record(const Attempt& attempt, std::string& error);
  /// The attempts that started at `since` (ISO 8601) or later, oldest first.
  std::optional<std::vector<Attempt>> Attempts(const std::string& since, std::string& error);

 private:
  struct Connection;
  explicit ProductionStore(std::unique_ptr<Connection> connection);
  std::unique_ptr<Connection> connection_;
};

}  // namespace otp
