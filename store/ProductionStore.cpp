#include "store/ProductionStore.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QVariant>
#include <atomic>

namespace otp {

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

QString Now() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

}  // namespace

const char* SerialStateName(SerialState state) {
  switch (state) {
    case SerialState::kReserved:
      return "reserved";
    case SerialState::kUsed:
      return "used";
    case SerialState::kReleased:
      return "released";
    case SerialState::kSpoiled:
      return "spoiled";
  }
  return "";
}

struct ProductionStore::Connection {
  QString name;  // Qt's name of the connection, one per store
  bool postgres = false;

  QSqlDatabase Database() const { return QSqlDatabase::database(name, false); }

  ~Connection() {
    {
      QSqlDatabase db = Database();
      db.close();
    }
    QSqlDatabase::removeDatabase(name);
  }

  // Runs `sql` with `values` bound in order (a statement without values as it is: some,
  // such as a table's definition, cannot be prepared); false with `error` on failure.
  bool Run(QSqlQuery& query, const QString& sql, const QVariantList& values, std::string& error) {
    if (values.isEmpty()) {
      if (query.exec(sql)) return true;
      error = query.lastError().text().toStdString();
      return false;
    }
    if (!query.prepare(sql)) {
      error = query.lastError().text().toStdString();
      return false;
    }
    for (const QVariant& value : values)
      query.addBindValue(value);
    if (!query.exec()) {
      error = query.lastError().text().toStdString();
      return false;
    }
    return true;
  }
  bool Run(const QString& sql, const QVariantList& values, std::string& error) {
    QSqlQuery query(Database());
    return Run(query, sql, values, error);
  }

  // A write transaction: SQLite takes its write lock at once, so that two stations never
  // both read the counter and then fail on writing it.
  bool Begin(std::string& error) { return Run(postgres ? "BEGIN" : "BEGIN IMMEDIATE", {}, error); }
  bool Commit(std::string& error) { return Run("COMMIT", {}, error); }
  void Rollback() {
    std::string ignored;
    Run("ROLLBACK", {}, ignored);
  }
};

ProductionStore::ProductionStore(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

ProductionStore::~ProductionStore() = default;

std::unique_ptr<ProductionStore> ProductionStore::Open(const std::string& location,
                                                       std::string& error) {
  static std::atomic<int> serial{0};
  auto connection = std::make_unique<Connection>();
  connection->name = QStringLiteral("otp-store-%1").arg(serial++);
  const QString text = Q(location);
  connection->postgres = text.startsWith("postgresql://") || text.startsWith("postgres://");
  QSqlDatabase db =
      QSqlDatabase::addDatabase(connection->postgres ? "QPSQL" : "QSQLITE", connection->name);
  if (!db.isValid()) {
    error = std::string("the database driver for ") +
            (connection->postgres ? "PostgreSQL" : "SQLite") + " is not installed";
    return nullptr;
  }
  if (connection->postgres) {
    const QUrl url(text);
    if (!url.isValid() || url.path().size() < 2) {
      error = location + ": expected postgresql://USER@HOST[:PORT]/DBNAME";
      return nullptr;
    }
    db.setHostName(url.host());
    if (url.port() > 0) db.setPort(url.port());
    db.setUserName(url.userName());
    if (!url.password().isEmpty()) db.setPassword(url.password());
    db.setDatabaseName(url.path().mid(1));
    db.setConnectOptions("connect_timeout=5");
  } else {
    db.setDatabaseName(text);
    db.setConnectOptions("QSQLITE_BUSY_TIMEOUT=10000");
  }
  if (!db.open()) {
    error = location + ": " + db.lastError().text().toStdString();
    return nullptr;
  }
  Connection& c = *connection;
  const QString serialKey = c.postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY";
  if (!c.Begin(error)) return nullptr;
  const bool made =
      c.Run("CREATE TABLE IF NOT EXISTS otp_schema (version INTEGER NOT NULL)", {}, error) &&
      c.Run(
          "CREATE TABLE IF NOT EXISTS otp_counters (name TEXT PRIMARY KEY, "
          "next_number BIGINT NOT NULL)",
          {}, error) &&
      c.Run(
          "CREATE TABLE IF NOT EXISTS otp_serials (counter TEXT NOT NULL, number BIGINT NOT "
          "NULL, state TEXT NOT NULL CHECK (state IN ('reserved', 'used', 'released', "
          "'spoiled')), station TEXT NOT NULL, changed TEXT NOT NULL, "
          "PRIMARY KEY (counter, number))",
          {}, error) &&
      c.Run("CREATE TABLE IF NOT EXISTS otp_attempts (id " + serialKey +
                ", started TEXT NOT NULL, ended TEXT NOT NULL, station TEXT NOT NULL, "
                "port TEXT NOT NULL, device TEXT NOT NULL, model TEXT NOT NULL, clock TEXT NOT "
                "NULL, image TEXT NOT NULL, crc32 BIGINT NOT NULL, serial BIGINT, serial_state "
                "TEXT NOT NULL, result TEXT NOT NULL, exit_status INTEGER NOT NULL, report_id "
                "INTEGER, report_text TEXT NOT NULL, first_difference BIGINT, seconds DOUBLE "
                "PRECISION NOT NULL)",
            {}, error);
  if (!made) {
    c.Rollback();
    return nullptr;
  }
  QSqlQuery version(c.Database());
  if (!c.Run(version, "SELECT version FROM otp_schema", {}, error)) {
    c.Rollback();
    return nullptr;
  }
  if (!version.next()) {
    if (!c.Run("INSERT INTO otp_schema (version) VALUES (?)", {kSchemaVersion}, error)) {
      c.Rollback();
      return nullptr;
    }
  } else if (version.value(0).toInt() > kSchemaVersion) {
    error = location + ": its schema version " + std::to_string(version.value(0).toInt()) +
            " is newer than this program's (" + std::to_string(kSchemaVersion) +
            "): it is left as it is";
    version.finish();
    c.Rollback();
    return nullptr;
  }
  version.finish();
  if (!c.postgres &&
      !c.Run(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion), {}, error)) {
    c.Rollback();
    return nullptr;
  }
  if (!c.Commit(error)) return nullptr;
  return std::unique_ptr<ProductionStore>(new ProductionStore(std::move(connection)));
}

std::optional<std::uint64_t> ProductionStore::Reserve(const std::string& counter,
                                                      std::uint64_t start, std::uint64_t step,
                                                      const std::string& station,
                                                      std::string& error) {
  Connection& c = *connection_;
  auto fail = [&]() -> std::optional<std::uint64_t> {
    c.Rollback();
    return std::nullopt;
  };
  if (!c.Begin(error)) return std::nullopt;
  const QVariant name = Q(counter);
  if (!c.Run("INSERT INTO otp_counters (name, next_number) VALUES (?, ?) ON CONFLICT (name) DO "
             "NOTHING",
             {name, QVariant::fromValue<qulonglong>(start)}, error)) {
    return fail();
  }
  // Every reserving station locks the counter first, so the released numbers are taken
  // one at a time too.
  QSqlQuery next(c.Database());
  if (!c.Run(next,
             c.postgres ? "SELECT next_number FROM otp_counters WHERE name = ? FOR UPDATE"
                        : "SELECT next_number FROM otp_counters WHERE name = ?",
             {name}, error) ||
      !next.next()) {
    if (error.empty()) error = "the counter " + counter + " is missing";
    return fail();
  }
  std::uint64_t number = next.value(0).toULongLong();
  next.finish();
  QSqlQuery released(c.Database());
  if (!c.Run(released,
             "SELECT number FROM otp_serials WHERE counter = ? AND state = 'released' ORDER BY "
             "number LIMIT 1",
             {name}, error)) {
    return fail();
  }
  const bool reuse = released.next();
  if (reuse) number = released.value(0).toULongLong();
  released.finish();
  const QVariant value = QVariant::fromValue<qulonglong>(number);
  const bool stored =
      reuse ? c.Run(
                  "UPDATE otp_serials SET state = 'reserved', station = ?, changed = ? WHERE "
                  "counter = ? AND number = ? AND state = 'released'",
                  {Q(station), Now(), name, value}, error)
            : c.Run("UPDATE otp_counters SET next_number = ? WHERE name = ?",
                    {QVariant::fromValue<qulonglong>(number + step), name}, error) &&
                  c.Run(
                      "INSERT INTO otp_serials (counter, number, state, station, changed) "
                      "VALUES (?, ?, 'reserved', ?, ?)",
                      {name, value, Q(station), Now()}, error);
  if (!stored || !c.Commit(error)) return fail();
  return number;
}

bool ProductionStore::Settle(const std::string& counter, std::uint64_t number, SerialState state,
                             std::string& error) {
  Connection& c = *connection_;
  if (!c.Begin(error)) return false;
  QSqlQuery query(c.Database());
  if (!c.Run(query,
             "UPDATE otp_serials SET state = ?, changed = ? WHERE counter = ? AND number = ? AND "
             "state = 'reserved'",
             {SerialStateName(state), Now(), Q(counter), QVariant::fromValue<qulonglong>(number)},
             error)) {
    c.Rollback();
    return false;
  }
  if (query.numRowsAffected() != 1) {
    error = "number " + std::to_string(number) + " is not reserved";
    c.Rollback();
    return false;
  }
  return c.Commit(error);
}

std::optional<std::vector<std::uint64_t>> ProductionStore::SpoilLeftovers(
    const std::string& station, std::string& error) {
  Connection& c = *connection_;
  if (!c.Begin(error)) return std::nullopt;
  QSqlQuery held(c.Database());
  if (!c.Run(held,
             "SELECT number FROM otp_serials WHERE station = ? AND state = 'reserved' ORDER BY "
             "number",
             {Q(station)}, error)) {
    c.Rollback();
    return std::nullopt;
  }
  std::vector<std::uint64_t> numbers;
  while (held.next())
    numbers.push_back(held.value(0).toULongLong());
  held.finish();
  if (!c.Run("UPDATE otp_serials SET state = 'spoiled', changed = ? WHERE station = ? AND "
             "state = 'reserved'",
             {Now(), Q(station)}, error) ||
      !c.Commit(error)) {
    c.Rollback();
    return std::nullopt;
  }
  return numbers;
}

bool ProductionStore::Record(const Attempt& a, std::string& error) {
  auto optional = [](const auto& value) {
    return value ? QVariant::fromValue<qlonglong>(static_cast<qlonglong>(*value)) : QVariant();
  };
  Connection& c = *connection_;
  if (!c.Begin(error)) return false;
  if (!c.Run("INSERT INTO otp_attempts (started, ended, station, port, device, model, clock, "
             "image, crc32, serial, serial_state, result, exit_status, report_id, report_text, "
             "first_difference, seconds) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
             "?)",
             {Q(a.started), Q(a.ended), Q(a.station), Q(a.port), Q(a.device), Q(a.model),
              Q(a.clock), Q(a.image), QVariant::fromValue<qlonglong>(a.crc32), optional(a.serial),
              Q(a.serialState), Q(a.result), a.exitStatus, optional(a.reportId), Q(a.reportText),
              optional(a.firstDifference), a.seconds},
             error)) {
    c.Rollback();
    return false;
  }
  return c.Commit(error);
}

std::optional<std::vector<Attempt>> ProductionStore::Attempts(const std::string& since,
                                                              std::string& error) {
  Connection& c = *connection_;
  QSqlQuery query(c.Database());
  if (!c.Run(query,
             "SELECT started, ended, station, port, device, model, clock, image, crc32, serial, "
             "serial_state, result, exit_status, report_id, report_text, first_difference, "
             "seconds FROM otp_attempts WHERE started >= ? ORDER BY id",
             {Q(since)}, error)) {
    return std::nullopt;
  }
  std::vector<Attempt> attempts;
  while (query.next()) {
    Attempt a;
    int i = 0;
    auto text = [&] { return query.value(i++).toString().toStdString(); };
    a.started = text();
    a.ended = text();
    a.station = text();
    a.port = text();
    a.device = text();
    a.model = text();
    a.clock = text();
    a.image = text();
    a.crc32 = static_cast<std::uint32_t>(query.value(i++).toLongLong());
    if (!query.value(i).isNull()) a.serial = query.value(i).toULongLong();
    ++i;
    a.serialState = text();
    a.result = text();
    a.exitStatus = query.value(i++).toInt();
    if (!query.value(i).isNull()) a.reportId = query.value(i).toUInt();
    ++i;
    a.reportText = text();
    if (!query.value(i).isNull()) a.firstDifference = query.value(i).toUInt();
    ++i;
    a.seconds = query.value(i++).toDouble();
    attempts.push_back(std::move(a));
  }
  return attempts;
}

}  // namespace otp
