#include "store/ProductionStore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <set>

#include "chip/ChipTable.h"

namespace otp {

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

QString Now() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

QVariant Big(std::uint64_t value) {
  return QVariant::fromValue<qlonglong>(static_cast<qlonglong>(value));
}

template <typename T>
QVariant Maybe(const std::optional<T>& value) {
  return value ? QVariant::fromValue<qlonglong>(static_cast<qlonglong>(*value)) : QVariant();
}

// The PostgreSQL advisory lock that stands for an owner's lease: FNV-1a of its name.
qlonglong LeaseKey(const std::string& owner) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : "otp-owner:" + owner) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return static_cast<qlonglong>(hash);
}

// One lock for everyone who makes or upgrades the schema at the same moment.
constexpr qlonglong kSchemaLock = 0x4F54505343484D41;  // "OTPSCHMA"

// Connection parameters of libpq that a URL's query may carry.
const std::set<QString>& KnownParameters() {
  static const std::set<QString> known = {"application_name",
                                          "channel_binding",
                                          "client_encoding",
                                          "connect_timeout",
                                          "gssencmode",
                                          "hostaddr",
                                          "keepalives",
                                          "keepalives_count",
                                          "keepalives_idle",
                                          "keepalives_interval",
                                          "krbsrvname",
                                          "options",
                                          "passfile",
                                          "service",
                                          "sslcert",
                                          "sslcompression",
                                          "sslcrl",
                                          "sslcrldir",
                                          "sslkey",
                                          "sslmode",
                                          "sslrootcert",
                                          "sslsni",
                                          "ssl_min_protocol_version",
                                          "ssl_max_protocol_version",
                                          "target_session_attrs",
                                          "tcp_user_timeout"};
  return known;
}

// A value of libpq's connection string, quoted.
QString Quoted(const QString& value) {
  QString out = "'";
  for (const QChar c : value) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

// Where a store lies, parsed from its location.
struct Place {
  bool postgres = false;
  std::string printable;  // never with a password
  std::string password;
  QString file;     // SQLite
  QUrl url;         // PostgreSQL
  QString options;  // libpq parameters for QPSQL, ";"-separated
};

// Whether a failed statement may work when tried again: the server went away, did not
// answer in time or was busy; anything else is the store's refusal.
StoreError::Kind KindOf(const QSqlError& error, bool postgres) {
  if (error.type() == QSqlError::ConnectionError) return StoreError::Kind::kUnavailable;
  const QString code = error.nativeErrorCode();
  if (postgres) {
    // No SQLSTATE: the connection broke before an answer. Classes 08 (connection), 53
    // (resources), 57 (operator intervention: shutdown, statement time-out), and the
    // conflicts that a retry resolves (serialization, deadlock, lock time-out).
    if (code.isEmpty() || code.startsWith("08") || code.startsWith("53") || code.startsWith("57") ||
        code == "40001" || code == "40P01" || code == "55P03") {
      return StoreError::Kind::kUnavailable;
    }
    return StoreError::Kind::kRefused;
  }
  // SQLite: busy, locked, an I/O error, a full disk, a file that cannot be opened.
  switch (code.toInt() & 0xFF) {
    case 5:
    case 6:
    case 10:
    case 13:
    case 14:
      return StoreError::Kind::kUnavailable;
    default:
      return StoreError::Kind::kRefused;
  }
}

bool ParsePlace(const std::string& location, Place& place, std::string& error) {
  const QString text = Q(location);
  place.postgres = text.startsWith("postgresql://") || text.startsWith("postgres://");
  if (!place.postgres) {
    place.file = text;
    place.printable = location;
    return true;
  }
  const QUrl url(text, QUrl::StrictMode);
  if (!url.isValid() || url.host().isEmpty() || url.path().size() < 2) {
    error = ProductionStore::Printable(location) +
            ": expected postgresql://USER@HOST[:PORT]/DBNAME[?PARAM=VALUE&...] (a password "
            "holding @, / or ? is written %40, %2F, %3F)";
    return false;
  }
  place.url = url;
  place.password = url.password(QUrl::FullyDecoded).toStdString();
  place.printable = ProductionStore::Printable(location);
  QStringList options = {"connect_timeout=5"};
  for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
    if (key == "password") {
      place.password = value.toStdString();
      continue;
    }
    if (!KnownParameters().count(key)) {
      error = place.printable + ": unknown connection parameter " + key.toStdString();
      return false;
    }
    // QPSQL separates its options at ';': a value cannot hold one.
    if (value.contains(';')) {
      error = place.printable + ": the value of " + key.toStdString() + " holds a ';'";
      return false;
    }
    if (key == "connect_timeout") options.removeFirst();
    options << key + "=" + Quoted(value);
  }
  place.options = options.join(';');
  return true;
}

}  // namespace

std::string ProductionStore::Absolute(const std::string& location) {
  const QString text = Q(location);
  if (location.empty() || text.startsWith("postgresql://") || text.startsWith("postgres://")) {
    return location;
  }
  return QFileInfo(text).absoluteFilePath().toStdString();
}

std::string ProductionStore::Printable(const std::string& location) {
  const QString text = Q(location);
  if (!text.startsWith("postgresql://") && !text.startsWith("postgres://")) return location;
  // Whatever lies between "//" and the last '@' is user information: only the user's
  // name up to its first ':' is shown. A password holding '@', '/' or '?' cannot show its
  // tail this way.
  const std::size_t start = location.find("//") + 2;
  std::string shown = location;
  std::size_t host = start;  // where the host begins (at its '@', when there is one)
  const std::size_t at = location.rfind('@');
  if (at != std::string::npos && at >= start) {
    const std::string info = location.substr(start, at - start);
    const std::string user = info.substr(0, info.find(':'));
    shown = location.substr(0, start) + user + location.substr(at);
    host = start + user.size();
  }
  // A password given as a parameter is not shown either.
  const std::size_t query = shown.find('?', host);
  if (query == std::string::npos) return shown;
  std::string out = shown.substr(0, query);
  char separator = '?';
  std::size_t from = query + 1;
  while (from <= shown.size()) {
    const std::size_t amp = shown.find('&', from);
    const std::string item = shown.substr(from, amp == std::string::npos ? amp : amp - from);
    const std::string key =
        QString::fromStdString(item.substr(0, item.find('='))).toLower().toStdString();
    if (!item.empty()) {
      out += separator;
      out += key == "password" ? "password=***" : item;
      separator = '&';
    }
    if (amp == std::string::npos) break;
    from = amp + 1;
  }
  return out;
}

struct ProductionStore::Connection {
  QString name;  // Qt's name of the connection, one per store
  Place place;
  int version = 0;
  bool created = false;
  std::function<bool(const std::string&)> ownerAlive;
  std::string owner;  // this process's lease

  QSqlDatabase Database() const { return QSqlDatabase::database(name, false); }

  ~Connection() {
    {
      QSqlDatabase db = Database();
      db.close();
    }
    QSqlDatabase::removeDatabase(name);
  }

  // "WHERE: what failed: why", never with the password; whether trying again may help.
  StoreError Failure(const std::string& what, const QSqlError& sqlError) const {
    std::string why = sqlError.text().toStdString();
    for (const std::string& secret :
         {place.password, place.url.password(QUrl::FullyEncoded).toStdString()}) {
      if (secret.empty()) continue;
      for (auto at = why.find(secret); at != std::string::npos; at = why.find(secret))
        why.replace(at, secret.size(), "***");
    }
    StoreError error;
    error.Set(KindOf(sqlError, place.postgres), place.printable + ": " + what + ": " + why);
    return error;
  }
  // What the store refuses, in its words: "WHERE: what: why".
  StoreError Refusal(const std::string& what, const std::string& why) const {
    StoreError error;
    error.Set(StoreError::Kind::kRefused, place.printable + ": " + what + ": " + why);
    return error;
  }

  // Runs `sql` with `values` bound in order; false with `error` ("WHERE: what: why").
  bool Run(QSqlQuery& query, const QString& sql, const QVariantList& values, const char* what,
           StoreError& error) {
    const bool done = values.isEmpty() ? query.exec(sql) : [&] {
      if (!query.prepare(sql)) return false;
      for (const QVariant& value : values)
        query.addBindValue(value);
      return query.exec();
    }();
    if (!done) error = Failure(what, query.lastError());
    return done;
  }
  bool Run(const QString& sql, const QVariantList& values, const char* what, StoreError& error) {
    QSqlQuery query(Database());
    return Run(query, sql, values, what, error);
  }

  // A write transaction: SQLite takes its write lock at once, so that two stations never
  // both read the counter and then fail on writing it.
  bool Begin(const char* what, StoreError& error) {
    return Run(place.postgres ? "BEGIN" : "BEGIN IMMEDIATE", {}, what, error);
  }
  bool Commit(const char* what, StoreError& error) { return Run("COMMIT", {}, what, error); }
  void Rollback() {
    StoreError ignored;
    Run("ROLLBACK", {}, "", ignored);
  }

  bool HasTable(const QString& table) {
    QSqlQuery query(Database());
    StoreError ignored;
    const QString sql =
        place.postgres
            ? "SELECT 1 FROM information_schema.tables WHERE table_schema = current_schema() "
              "AND table_name = ?"
            : "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?";
    return Run(query, sql, {table}, "", ignored) && query.next();
  }
  bool HasIndex(const QString& index) {
    QSqlQuery query(Database());
    StoreError ignored;
    const QString sql =
        place.postgres
            ? "SELECT 1 FROM pg_indexes WHERE schemaname = current_schema() AND indexname = ?"
            : "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?";
    return Run(query, sql, {index}, "", ignored) && query.next();
  }
  int CountTables() {
    QSqlQuery query(Database());
    StoreError ignored;
    const QString sql = place.postgres ? "SELECT count(*) FROM information_schema.tables WHERE "
                                         "table_schema = current_schema()"
                                       : "SELECT count(*) FROM sqlite_master WHERE type = 'table'";
    return Run(query, sql, {}, "", ignored) && query.next() ? query.value(0).toInt() : 0;
  }

  bool MakeOrUpgrade(StoreError& error);
  bool ReadVersion(StoreError& error);
  bool Alive(const std::string& owner);
};

namespace {

const char* kWhatSchema = "cannot make or upgrade its tables";

// The tables as this version makes them. Attempts keep the exit status of the first
// schema's rows; later rows carry their verdict instead.
QStringList SchemaStatements(bool postgres) {
  const QString key = postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY";
  return {
      "CREATE TABLE IF NOT EXISTS otp_schema (version INTEGER NOT NULL)",
      "CREATE TABLE IF NOT EXISTS otp_counters (name TEXT PRIMARY KEY, next_number BIGINT NOT "
      "NULL, step BIGINT, start_number BIGINT)",
      "CREATE TABLE IF NOT EXISTS otp_serials (counter TEXT NOT NULL, number BIGINT NOT NULL, "
      "state TEXT NOT NULL CHECK (state IN ('reserved', 'used', 'released', 'spoiled')), "
      "station TEXT NOT NULL, changed TEXT NOT NULL, owner TEXT, unit_id TEXT, started TEXT, "
      "port TEXT, device TEXT, model TEXT, clock TEXT, image TEXT, crc32 BIGINT, job TEXT, "
      "job_sum TEXT, PRIMARY KEY (counter, number))",
      "CREATE TABLE IF NOT EXISTS otp_attempts (id " + key +
          ", started TEXT NOT NULL, ended TEXT NOT NULL, station TEXT NOT NULL, port TEXT NOT "
          "NULL, device TEXT NOT NULL, model TEXT NOT NULL, clock TEXT NOT NULL, image TEXT NOT "
          "NULL, crc32 BIGINT NOT NULL, serial BIGINT, serial_state TEXT NOT NULL, result TEXT "
          "NOT NULL, exit_status INTEGER, report_id INTEGER, report_text TEXT NOT NULL, "
          "first_difference BIGINT, seconds DOUBLE PRECISION NOT NULL, unit_id TEXT UNIQUE, "
          "counter TEXT, job TEXT NOT NULL DEFAULT '', job_sum TEXT NOT NULL DEFAULT '', "
          "verdict TEXT, failed_block BIGINT)",
  };
}

// What the reports and the leftovers look for, fast on a year of records.
const QStringList kIndexes = {
    "CREATE INDEX IF NOT EXISTS otp_attempts_started ON otp_attempts (started)",
    "CREATE INDEX IF NOT EXISTS otp_attempts_station ON otp_attempts (station, started)",
    "CREATE INDEX IF NOT EXISTS otp_attempts_job ON otp_attempts (job, started)",
    "CREATE INDEX IF NOT EXISTS otp_serials_state ON otp_serials (state, station)",
    "CREATE INDEX IF NOT EXISTS otp_serials_counter ON otp_serials (counter, state, number)",
};

// The verdicts of the first schema's rows, from the exit status the command line gave.
const char* kVerdictOfExit =
    "UPDATE otp_attempts SET verdict = CASE exit_status WHEN 0 THEN 'pass' WHEN 1 THEN "
    "'not-good' WHEN 2 THEN 'link' WHEN 3 THEN 'file' WHEN 4 THEN 'port' WHEN 5 THEN 'plan' "
    "WHEN 6 THEN 'interrupted' ELSE 'link' END WHERE verdict IS NULL";

const char* kAttemptColumns =
    "started, ended, station, port, device, model, clock, image, crc32, serial, serial_state, "
    "result, exit_status, report_id, report_text, first_difference, seconds";

}  // namespace

bool ProductionStore::Connection::ReadVersion(StoreError& error) {
  QSqlQuery query(Database());
  if (!Run(query, "SELECT version FROM otp_schema", {}, "cannot read its schema version", error)) {
    return false;
  }
  version = query.next() ? query.value(0).toInt() : 0;
  return true;
}

bool ProductionStore::Connection::MakeOrUpgrade(StoreError& error) {
  if (!Begin(kWhatSchema, error)) return false;
  auto fail = [&] {
    Rollback();
    return false;
  };
  // Stations that open a new shared store at the same moment make it one after another.
  if (place.postgres &&
      !Run("SELECT pg_advisory_xact_lock(?)", {kSchemaLock}, kWhatSchema, error)) {
    return fail();
  }
  if (!HasTable("otp_schema") && CountTables() > 0) {
    error.Set(StoreError::Kind::kRefused,
              place.printable + ": holds other tables and no production records: left as it is");
    return fail();
  }
  const bool fresh = !HasTable("otp_attempts");
  if (fresh) {
    for (const QString& statement : SchemaStatements(place.postgres)) {
      if (!Run(statement, {}, kWhatSchema, error)) return fail();
    }
  }
  if (!ReadVersion(error)) return fail();
  if (version > kSchemaVersion) {
    error.Set(StoreError::Kind::kRefused,
              place.printable + ": its schema version " + std::to_string(version) +
                  " is newer than this program's (" + std::to_string(kSchemaVersion) +
                  "): it is left as it is");
    return fail();
  }
  if (version == 0 && fresh) {
    created = true;
    if (!Run("INSERT INTO otp_schema (version) VALUES (?)", {kSchemaVersion}, kWhatSchema, error)) {
      return fail();
    }
  } else if (version < kSchemaVersion) {
    // The first schema: counters learn their step, numbers the unit they were reserved
    // for, attempts their unit, counter, job, verdict and failing block. Every row stays.
    QStringList upgrade = {
        "ALTER TABLE otp_counters ADD COLUMN step BIGINT",
        "ALTER TABLE otp_counters ADD COLUMN start_number BIGINT",
    };
    for (const char* column :
         {"owner TEXT", "unit_id TEXT", "started TEXT", "port TEXT", "device TEXT", "model TEXT",
          "clock TEXT", "image TEXT", "crc32 BIGINT", "job TEXT", "job_sum TEXT"}) {
      upgrade << QString("ALTER TABLE otp_serials ADD COLUMN ") + column;
    }
    if (place.postgres) {
      upgrade << "ALTER TABLE otp_attempts ALTER COLUMN exit_status DROP NOT NULL"
              << "ALTER TABLE otp_attempts ADD COLUMN unit_id TEXT UNIQUE"
              << "ALTER TABLE otp_attempts ADD COLUMN counter TEXT"
              << "ALTER TABLE otp_attempts ADD COLUMN job TEXT NOT NULL DEFAULT ''"
              << "ALTER TABLE otp_attempts ADD COLUMN job_sum TEXT NOT NULL DEFAULT ''"
              << "ALTER TABLE otp_attempts ADD COLUMN verdict TEXT"
              << "ALTER TABLE otp_attempts ADD COLUMN failed_block BIGINT";
    } else {
      // SQLite changes a column's constraints only by making the table anew.
      upgrade << "ALTER TABLE otp_attempts RENAME TO otp_attempts_v1"
              << SchemaStatements(false).last()
              << QString("INSERT INTO otp_attempts (id, %1) SELECT id, %1 FROM otp_attempts_v1")
                     .arg(kAttemptColumns)
              << "DROP TABLE otp_attempts_v1";
    }
    upgrade << "UPDATE otp_attempts SET counter = 'serial' WHERE serial IS NOT NULL"
            << kVerdictOfExit << "UPDATE otp_schema SET version = 2";
    for (const QString& statement : upgrade) {
      if (!Run(statement, {}, "cannot upgrade its tables", error)) return fail();
    }
    version = kSchemaVersion;
  }
  // Only what is missing is made: a role that may write the records but does not own
  // the tables starts a station on a current store.
  for (const QString& statement : kIndexes) {
    const QString name = statement.section(' ', 5, 5);
    if (!HasIndex(name) && !Run(statement, {}, kWhatSchema, error)) return fail();
  }
  if (!place.postgres && !Run(QStringLiteral("PRAGMA user_version = %1").arg(kSchemaVersion), {},
                              kWhatSchema, error)) {
    return fail();
  }
  version = kSchemaVersion;
  return Commit(kWhatSchema, error);
}

ProductionStore::ProductionStore(std::unique_ptr<Connection> connection)
    : connection_(std::move(connection)) {}

ProductionStore::~ProductionStore() = default;

std::unique_ptr<ProductionStore> ProductionStore::Open(const std::string& location,
                                                       StoreError& error, Options options) {
  static std::atomic<int> serial{0};
  auto connection = std::make_unique<Connection>();
  Connection& c = *connection;
  c.name = QStringLiteral("otp-store-%1").arg(serial++);
  c.ownerAlive = options.ownerAlive;
  std::string why;
  if (!ParsePlace(location, c.place, why)) {
    error.Set(StoreError::Kind::kRefused, why);
    return nullptr;
  }
  const bool reading = options.access == Access::kRead;
  QSqlDatabase db = QSqlDatabase::addDatabase(c.place.postgres ? "QPSQL" : "QSQLITE", c.name);
  if (!db.isValid()) {
    error.Set(StoreError::Kind::kRefused,
              c.place.printable + ": cannot open: the database driver for " +
                  (c.place.postgres ? "PostgreSQL" : "SQLite") + " is not installed");
    return nullptr;
  }
  if (c.place.postgres) {
    const QUrl& url = c.place.url;
    db.setHostName(url.host());
    if (url.port() > 0) db.setPort(url.port());
    db.setUserName(url.userName());
    if (!c.place.password.empty()) db.setPassword(Q(c.place.password));
    db.setDatabaseName(url.path().mid(1));
    db.setConnectOptions(c.place.options);
  } else {
    const QFileInfo file(c.place.file);
    if (reading && !file.exists()) {
      error.Set(StoreError::Kind::kRefused,
                c.place.printable + ": cannot open: there is no such store");
      return nullptr;
    }
    if (file.exists() && !file.isFile()) {
      error.Set(StoreError::Kind::kRefused, c.place.printable + ": cannot open: it is no file");
      return nullptr;
    }
    db.setDatabaseName(c.place.file);
    db.setConnectOptions(reading ? "QSQLITE_BUSY_TIMEOUT=10000;QSQLITE_OPEN_READONLY"
                                 : "QSQLITE_BUSY_TIMEOUT=10000");
  }
  if (!db.open()) {
    error = c.Failure("cannot open", db.lastError());
    return nullptr;
  }
  if (c.place.postgres) {
    // The server's notices ("already exists, skipping") are no news for a person.
    StoreError ignored;
    c.Run("SET client_min_messages TO warning", {}, "", ignored);
  }
  if (reading) {
    if (!c.HasTable("otp_schema")) {
      error.Set(StoreError::Kind::kRefused, c.place.printable + ": holds no production records");
      return nullptr;
    }
    if (!c.ReadVersion(error)) return nullptr;
    if (c.version > kSchemaVersion) {
      error.Set(StoreError::Kind::kRefused,
                c.place.printable + ": its schema version " + std::to_string(c.version) +
                    " is newer than this program's (" + std::to_string(kSchemaVersion) + ")");
      return nullptr;
    }
  } else if (!c.MakeOrUpgrade(error)) {
    return nullptr;
  }
  return std::unique_ptr<ProductionStore>(new ProductionStore(std::move(connection)));
}

int ProductionStore::version() const {
  return connection_->version;
}

std::string ProductionStore::Location() const {
  return connection_->place.printable;
}

bool ProductionStore::Created() const {
  return connection_->created;
}

bool ProductionStore::Claim(const std::string& owner, StoreError& error) {
  Connection& c = *connection_;
  c.owner = owner;
  if (!c.place.postgres) return true;  // the owner's journal is the lease
  // A session-level lock: the server drops it when the station's connection ends.
  QSqlQuery query(c.Database());
  if (!c.Run(query, "SELECT pg_try_advisory_lock(?)", {LeaseKey(owner)}, "cannot take its lease",
             error)) {
    return false;
  }
  if (!query.next() || !query.value(0).toBool()) {
    error.Set(StoreError::Kind::kRefused,
              c.place.printable + ": cannot take its lease: held by another process");
    return false;
  }
  return true;
}

bool ProductionStore::Connection::Alive(const std::string& other) {
  if (other.empty()) return false;  // numbers of the first schema have no owner
  if (other == owner) return true;
  if (!place.postgres) return ownerAlive ? ownerAlive(other) : true;
  QSqlQuery query(Database());
  StoreError ignored;
  if (!Run(query, "SELECT pg_try_advisory_lock(?)", {LeaseKey(other)}, "", ignored) ||
      !query.next()) {
    return true;  // unknown: left alone
  }
  if (!query.value(0).toBool()) return true;
  query.finish();
  Run("SELECT pg_advisory_unlock(?)", {LeaseKey(other)}, "", ignored);
  return false;
}

namespace {

Counter CounterFrom(const QString& name, const QSqlQuery& query) {
  Counter counter;
  counter.name = name.toStdString();
  const qlonglong next = query.value(0).toLongLong();
  counter.exhausted = next < 0;
  counter.next = next < 0 ? 0 : static_cast<std::uint64_t>(next);
  counter.step = query.value(1).isNull() ? 1 : query.value(1).toULongLong();
  if (!query.value(2).isNull()) counter.start = query.value(2).toULongLong();
  return counter;
}

}  // namespace

bool ProductionStore::ReadCounter(const std::string& name, Counter& counter, bool& found,
                                  StoreError& error) {
  Connection& c = *connection_;
  QSqlQuery query(c.Database());
  const QString sql =
      c.version >= 2 ? "SELECT next_number, step, start_number FROM otp_counters WHERE name = ?"
                     : "SELECT next_number, NULL, NULL FROM otp_counters WHERE name = ?";
  if (!c.Run(query, sql, {Q(name)}, "cannot read the counter", error)) return false;
  found = query.next();
  if (found) counter = CounterFrom(Q(name), query);
  return true;
}

bool ProductionStore::EnsureCounter(const std::string& name, std::uint64_t start,
                                    std::uint64_t step, Counter& counter, bool& made,
                                    StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot make the counter";
  if (!c.Begin(what, error)) return false;
  QSqlQuery query(c.Database());
  if (!c.Run(query,
             "INSERT INTO otp_counters (name, next_number, step, start_number) VALUES (?, ?, ?, "
             "?) ON CONFLICT (name) DO NOTHING",
             {Q(name), Big(start), Big(step), Big(start)}, what, error)) {
    c.Rollback();
    return false;
  }
  made = query.numRowsAffected() == 1;
  query.finish();
  // A counter of the first schema learns its step from the first run that names one.
  if (!c.Run("UPDATE otp_counters SET step = ? WHERE name = ? AND step IS NULL",
             {Big(step), Q(name)}, what, error) ||
      !c.Run(query, "SELECT next_number, step, start_number FROM otp_counters WHERE name = ?",
             {Q(name)}, what, error) ||
      !query.next()) {
    c.Rollback();
    return false;
  }
  counter = CounterFrom(Q(name), query);
  query.finish();
  return c.Commit(what, error);
}

std::optional<std::uint64_t> ProductionStore::Reserve(const Attempt& unit, std::uint64_t max,
                                                      const std::string& owner, StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot reserve a serial number";
  auto fail = [&]() -> std::optional<std::uint64_t> {
    c.Rollback();
    return std::nullopt;
  };
  if (!c.Begin(what, error)) return std::nullopt;
  const QVariant counterName = Q(unit.counter);
  // Every reserving station locks the counter first, so the released numbers are taken
  // one at a time too.
  QSqlQuery next(c.Database());
  if (!c.Run(next,
             c.place.postgres
                 ? "SELECT next_number, step FROM otp_counters WHERE name = ? FOR UPDATE"
                 : "SELECT next_number, step FROM otp_counters WHERE name = ?",
             {counterName}, what, error)) {
    return fail();
  }
  if (!next.next()) {
    error.Set(StoreError::Kind::kRefused,
              c.place.printable + ": " + what + ": there is no counter " + unit.counter);
    return fail();
  }
  const qlonglong following = next.value(0).toLongLong();
  const std::uint64_t step = next.value(1).isNull() ? 1 : next.value(1).toULongLong();
  next.finish();
  QSqlQuery released(c.Database());
  if (!c.Run(released,
             "SELECT number FROM otp_serials WHERE counter = ? AND state = 'released' AND "
             "number <= ? ORDER BY number LIMIT 1",
             {counterName, Big(max)}, what, error)) {
    return fail();
  }
  const bool reuse = released.next();
  std::uint64_t number = reuse ? released.value(0).toULongLong()
                               : static_cast<std::uint64_t>(std::max<qlonglong>(following, 0));
  released.finish();
  if (!reuse && (following < 0 || number > max)) {
    c.Rollback();
    return std::nullopt;  // the counter gives no number that fits: no error of the store
  }
  const QVariantList tag = {
      Q(owner),      Q(unit.unitId), Q(unit.started), Q(unit.port), Q(unit.device), Q(unit.model),
      Q(unit.clock), Q(unit.image),  Big(unit.crc32), Q(unit.job),  Q(unit.jobSum), Q(unit.station),
      Now()};
  bool stored = false;
  if (reuse) {
    stored = c.Run(
        "UPDATE otp_serials SET state = 'reserved', owner = ?, unit_id = ?, started = ?, port "
        "= ?, device = ?, model = ?, clock = ?, image = ?, crc32 = ?, job = ?, job_sum = ?, "
        "station = ?, changed = ? WHERE counter = ? AND number = ? AND state = 'released'",
        tag + QVariantList{counterName, Big(number)}, what, error);
  } else {
    constexpr std::uint64_t kLimit = (std::uint64_t{1} << 63) - 1;
    // Past 2^63 - 1 a counter gives no more: -1 marks it.
    const qlonglong after = number > kLimit - step ? -1 : static_cast<qlonglong>(number + step);
    stored = c.Run("UPDATE otp_counters SET next_number = ? WHERE name = ?", {after, counterName},
                   what, error) &&
             c.Run(
                 "INSERT INTO otp_serials (owner, unit_id, started, port, device, model, clock, "
                 "image, crc32, job, job_sum, station, changed, counter, number, state) VALUES "
                 "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 'reserved')",
                 tag + QVariantList{counterName, Big(number)}, what, error);
  }
  if (!stored || !c.Commit(what, error)) return fail();
  return number;
}

bool ProductionStore::SettleAndRecord(const Attempt& a, const std::string& owner,
                                      StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot record the attempt";
  if (!c.Begin(what, error)) return false;
  auto fail = [&] {
    c.Rollback();
    return false;
  };
  if (!a.unitId.empty()) {
    QSqlQuery known(c.Database());
    if (!c.Run(known, "SELECT 1 FROM otp_attempts WHERE unit_id = ?", {Q(a.unitId)}, what, error)) {
      return fail();
    }
    if (known.next()) {  // recorded already: a journal replayed after its commit
      known.finish();
      // A number still reserved for this very unit is settled, whatever recorded it first.
      if (a.serial &&
          !c.Run("UPDATE otp_serials SET state = ?, changed = ? WHERE counter = ? AND number = ? "
                 "AND state = 'reserved' AND COALESCE(owner, '') = ? AND unit_id = ?",
                 {Q(a.serialState), Now(), Q(a.counter), Big(*a.serial), Q(owner), Q(a.unitId)},
                 what, error)) {
        return fail();
      }
      return c.Commit(what, error);
    }
  }
  if (a.serial) {
    QSqlQuery settle(c.Database());
    if (!c.Run(settle,
               "UPDATE otp_serials SET state = ?, changed = ? WHERE counter = ? AND number = ? "
               "AND state = 'reserved' AND COALESCE(owner, '') = ?",
               {Q(a.serialState), Now(), Q(a.counter), Big(*a.serial), Q(owner)}, what, error)) {
      return fail();
    }
    if (settle.numRowsAffected() != 1) {
      error.Set(StoreError::Kind::kRefused, c.place.printable + ": " + what + ": number " +
                                                std::to_string(*a.serial) +
                                                " is not reserved by this station");
      return fail();
    }
  }
  if (!c.Run("INSERT INTO otp_attempts (started, ended, station, port, device, model, clock, "
             "image, crc32, serial, serial_state, result, exit_status, report_id, report_text, "
             "first_difference, seconds, unit_id, counter, job, job_sum, verdict, failed_block) "
             "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
             {Q(a.started),
              Q(a.ended),
              Q(a.station),
              Q(a.port),
              Q(a.device),
              Q(a.model),
              Q(a.clock),
              Q(a.image),
              Big(a.crc32),
              Maybe(a.serial),
              Q(a.serialState),
              Q(a.result),
              Maybe(a.exitStatus),
              Maybe(a.reportId),
              Q(a.reportText),
              Maybe(a.firstDifference),
              a.seconds,
              a.unitId.empty() ? QVariant() : QVariant(Q(a.unitId)),
              a.counter.empty() ? QVariant() : QVariant(Q(a.counter)),
              Q(a.job),
              Q(a.jobSum),
              Q(a.verdict),
              Maybe(a.failedBlock)},
             what, error)) {
    return fail();
  }
  return c.Commit(what, error);
}

std::optional<std::vector<RecordStore::Leftover>> ProductionStore::Orphans(
    const std::string& station, StoreError& error) {
  Connection& c = *connection_;
  QSqlQuery query(c.Database());
  if (!c.Run(query,
             "SELECT counter, number, COALESCE(owner, ''), COALESCE(unit_id, ''), "
             "COALESCE(started, changed), COALESCE(port, ''), COALESCE(device, ''), "
             "COALESCE(model, ''), COALESCE(clock, ''), COALESCE(image, ''), COALESCE(crc32, 0), "
             "COALESCE(job, ''), COALESCE(job_sum, '') FROM otp_serials WHERE state = "
             "'reserved' AND station = ? ORDER BY counter, number",
             {Q(station)}, "cannot read its reserved numbers", error)) {
    return std::nullopt;
  }
  std::vector<Leftover> rows;
  while (query.next()) {
    Leftover row;
    Attempt& u = row.unit;
    int i = 0;
    auto text = [&] { return query.value(i++).toString().toStdString(); };
    u.counter = text();
    u.serial = query.value(i++).toULongLong();
    row.owner = text();
    u.unitId = text();
    u.started = text();
    u.port = text();
    u.device = text();
    u.model = text();
    u.clock = text();
    u.image = text();
    u.crc32 = static_cast<std::uint32_t>(query.value(i++).toLongLong());
    u.job = text();
    u.jobSum = text();
    u.station = station;
    if (u.unitId.empty()) u.unitId = "leftover-" + u.counter + "-" + std::to_string(*u.serial);
    rows.push_back(std::move(row));
  }
  query.finish();
  std::vector<Leftover> gone;
  for (Leftover& row : rows) {
    if (!c.Alive(row.owner)) gone.push_back(std::move(row));
  }
  return gone;
}

std::optional<std::vector<bool>> ProductionStore::Recorded(const std::vector<std::string>& ids,
                                                           StoreError& error) {
  Connection& c = *connection_;
  std::vector<bool> recorded;
  if (c.version < 2) return std::vector<bool>(ids.size(), false);
  for (const std::string& id : ids) {
    QSqlQuery query(c.Database());
    if (!c.Run(query, "SELECT 1 FROM otp_attempts WHERE unit_id = ?", {Q(id)},
               "cannot read its attempts", error)) {
      return std::nullopt;
    }
    recorded.push_back(query.next());
  }
  return recorded;
}

namespace {

// The WHERE of a filter over otp_attempts (named `a`), with its values.
QString Where(const AttemptFilter& filter, int version, QVariantList& values) {
  QString where = "WHERE 1 = 1";
  if (!filter.since.empty()) {
    where += " AND a.started >= ?";
    values << Q(filter.since);
  }
  if (!filter.until.empty()) {
    where += " AND a.started < ?";
    values << Q(filter.until);
  }
  if (!filter.job.empty()) {
    where += version >= 2 ? " AND a.job = ?" : " AND 1 = 0 AND ? <> ''";
    values << Q(filter.job);
  }
  if (!filter.station.empty()) {
    where += " AND a.station = ?";
    values << Q(filter.station);
  }
  return where;
}

}  // namespace

bool ProductionStore::ForEachAttempt(const AttemptFilter& filter,
                                     const std::function<bool(const Attempt&)>& each,
                                     StoreError& error) {
  Connection& c = *connection_;
  if (!filter.job.empty() && c.version < 2) return true;
  QVariantList values;
  const QString columns =
      QString("a.id, %1, %2")
          .arg(kAttemptColumns)
          .arg(c.version >= 2 ? "unit_id, counter, job, job_sum, verdict, failed_block"
                              : "NULL, NULL, '', '', NULL, NULL");
  const QString where = Where(filter, c.version, values);
  // Reads one row into an attempt; the row's id in `id`.
  auto read = [](const QSqlQuery& query, qlonglong& id) {
    Attempt a;
    int i = 0;
    id = query.value(i++).toLongLong();
    auto text = [&] { return query.value(i++).toString().toStdString(); };
    auto number = [&]() -> std::optional<qlonglong> {
      const QVariant value = query.value(i++);
      if (value.isNull()) return std::nullopt;
      return value.toLongLong();
    };
    a.started = text();
    a.ended = text();
    a.station = text();
    a.port = text();
    a.device = text();
    a.model = text();
    a.clock = text();
    a.image = text();
    a.crc32 = static_cast<std::uint32_t>(query.value(i++).toLongLong());
    if (const auto serial = number()) a.serial = static_cast<std::uint64_t>(*serial);
    a.serialState = text();
    a.result = text();
    if (const auto exit = number()) a.exitStatus = static_cast<int>(*exit);
    if (const auto id = number()) a.reportId = static_cast<unsigned>(*id);
    a.reportText = text();
    if (const auto at = number()) a.firstDifference = static_cast<std::uint32_t>(*at);
    a.seconds = query.value(i++).toDouble();
    a.unitId = text();
    a.counter = text();
    a.job = text();
    a.jobSum = text();
    a.verdict = text();
    if (const auto block = number()) a.failedBlock = static_cast<std::uint32_t>(*block);
    return a;
  };
  qlonglong id = 0;
  if (filter.last > 0) {
    // The last few: newest first from the store, handed on oldest first.
    QSqlQuery query(c.Database());
    query.setForwardOnly(true);
    if (!c.Run(query,
               QString("SELECT %1 FROM otp_attempts a %2 ORDER BY a.id DESC LIMIT %3")
                   .arg(columns, where)
                   .arg(filter.last),
               values, "cannot read its attempts", error)) {
      return false;
    }
    std::vector<Attempt> last;
    while (query.next())
      last.push_back(read(query, id));
    for (auto it = last.rbegin(); it != last.rend(); ++it) {
      if (!each(*it)) break;
    }
    return true;
  }
  // A page at a time, each page after the last row of the one before: no row is held
  // longer than its page, on either store.
  constexpr int kPage = 2000;
  const QString sql =
      QString("SELECT %1 FROM otp_attempts a %2 AND a.id > ? ORDER BY a.id LIMIT %3")
          .arg(columns, where)
          .arg(kPage);
  while (true) {
    QSqlQuery query(c.Database());
    query.setForwardOnly(true);
    if (!c.Run(query, sql, values + QVariantList{id}, "cannot read its attempts", error)) {
      return false;
    }
    int rows = 0;
    while (query.next()) {
      ++rows;
      if (!each(read(query, id))) return true;
    }
    if (rows < kPage) return true;
  }
}

std::optional<BatchFigures> ProductionStore::Figures(const AttemptFilter& filter,
                                                     StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot count its attempts";
  const bool v2 = c.version >= 2;
  // Columns the first schema lacks stand for what its rows were.
  const QString job = v2 ? "a.job" : "''";
  const QString jobSum = v2 ? "a.job_sum" : "''";
  const QString counter = v2 ? "COALESCE(a.counter, 'serial')" : "'serial'";
  const QString failedAt =
      v2 ? "COALESCE(a.failed_block, a.first_difference)" : "a.first_difference";
  QVariantList values;
  const QString where = Where(filter, c.version, values);
  BatchFigures f;
  auto run = [&](QSqlQuery& query, const QString& sql) {
    query.setForwardOnly(true);
    return c.Run(query, sql, values, what, error);
  };

  QSqlQuery totals(c.Database());
  if (!run(totals,
           "SELECT COUNT(*), SUM(CASE WHEN a.result = 'pass' THEN 1 ELSE 0 END), "
           "SUM(CASE WHEN a.result = 'fail' THEN 1 ELSE 0 END), SUM(CASE WHEN a.result = "
           "'interrupted' THEN 1 ELSE 0 END), MIN(a.started), MAX(a.ended), "
           "SUM(CASE WHEN a.serial_state = 'used' THEN 1 ELSE 0 END), "
           "COUNT(DISTINCT CASE WHEN a.serial_state = 'spoiled' THEN a.serial END), "
           "COUNT(DISTINCT CASE WHEN a.serial_state = 'released' THEN a.serial END) "
           "FROM otp_attempts a " +
               where) ||
      !totals.next()) {
    return std::nullopt;
  }
  f.units = totals.value(0).toInt();
  f.passed = totals.value(1).toInt();
  f.failed = totals.value(2).toInt();
  f.interrupted = totals.value(3).toInt();
  f.first = totals.value(4).toString().toStdString();
  f.last = totals.value(5).toString().toStdString();
  f.usedNumbers = totals.value(6).toInt();
  f.spoiledNumbers = totals.value(7).toInt();
  f.releasedNumbers = totals.value(8).toInt();
  if (f.units == 0) return f;

  QSqlQuery setups(c.Database());
  if (!run(setups,
           QString("SELECT %1, %2, a.model, a.clock, a.image, a.crc32, COUNT(*), "
                   "COUNT(*) OVER () FROM otp_attempts a %3 GROUP BY %1, %2, a.model, "
                   "a.clock, a.image, a.crc32 ORDER BY COUNT(*) DESC, MIN(a.started) LIMIT %4")
               .arg(job, jobSum, where)
               .arg(BatchFigures::kListed))) {
    return std::nullopt;
  }
  while (setups.next()) {
    f.setups.push_back(
        {setups.value(0).toString().toStdString(), setups.value(1).toString().toStdString(),
         setups.value(2).toString().toStdString(), setups.value(3).toString().toStdString(),
         setups.value(4).toString().toStdString(),
         static_cast<std::uint32_t>(setups.value(5).toLongLong()), setups.value(6).toInt()});
    f.setupCount = setups.value(7).toInt();
  }

  QSqlQuery ports(c.Database());
  if (!run(ports,
           "SELECT a.station, a.port, SUM(CASE WHEN a.result = 'pass' THEN 1 ELSE 0 END), "
           "SUM(CASE WHEN a.result = 'pass' THEN 0 ELSE 1 END) FROM otp_attempts a " +
               where + " GROUP BY a.station, a.port")) {
    return std::nullopt;
  }
  while (ports.next()) {
    f.ports.push_back({ports.value(0).toString().toStdString(),
                       ports.value(1).toString().toStdString(), ports.value(2).toInt(),
                       ports.value(3).toInt()});
  }
  std::sort(f.ports.begin(), f.ports.end(), [](const auto& a, const auto& b) {
    if (a.Yield() != b.Yield()) return a.Yield() < b.Yield();
    return a.failed > b.failed;
  });

  QSqlQuery reasons(c.Database());
  if (!run(reasons, "SELECT a.report_text, COUNT(*) FROM otp_attempts a " + where +
                        " AND a.result <> 'pass' GROUP BY a.report_text ORDER BY COUNT(*) DESC, "
                        "a.report_text")) {
    return std::nullopt;
  }
  while (reasons.next()) {
    const int count = reasons.value(1).toInt();
    if (f.reasons.size() < 10) {
      f.reasons.emplace_back(reasons.value(0).toString().trimmed().toStdString(), count);
    } else {
      f.otherReasons += count;
    }
  }

  QSqlQuery hours(c.Database());
  if (!run(hours,
           "SELECT substr(a.started, 1, 13), SUM(CASE WHEN a.result = 'pass' THEN 1 ELSE "
           "0 END), SUM(CASE WHEN a.result = 'pass' THEN 0 ELSE 1 END) FROM otp_attempts a " +
               where + " GROUP BY substr(a.started, 1, 13) ORDER BY 1")) {
    return std::nullopt;
  }
  while (hours.next()) {
    f.hours.push_back(
        {hours.value(0).toString().toStdString(), hours.value(1).toInt(), hours.value(2).toInt()});
  }
  f.activeHours = static_cast<int>(f.hours.size());

  // Failed units by the block where they failed, for each model's area.
  QSqlQuery blocks(c.Database());
  if (!run(blocks, QString("SELECT a.model, %1 / 256, COUNT(*) FROM otp_attempts a %2 AND "
                           "a.result <> 'pass' AND %1 IS NOT NULL GROUP BY a.model, %1 / 256")
                       .arg(failedAt, where))) {
    return std::nullopt;
  }
  while (blocks.next()) {
    const ChipRow* model = FindChip(blocks.value(0).toString().toStdString());
    const int start = model ? model->startAddr / 256 : 0xC0;
    const int index = blocks.value(1).toInt() - start;
    if (index >= 0 && index < 64)
      f.blocks[static_cast<std::size_t>(index)] += blocks.value(2).toInt();
  }

  // Serial numbers used, as ranges of consecutive numbers (in each counter's steps): a
  // range breaks where a number is not its predecessor plus the step. Differences of
  // two numbers below 2^63 never overflow, whatever the step.
  const QString breaks =
      QString(
          "SELECT %1 AS counter, a.serial AS serial, CASE WHEN a.serial - LAG(a.serial) OVER "
          "(PARTITION BY %1 ORDER BY a.serial) = %2 THEN 0 ELSE 1 END AS brk FROM "
          "otp_attempts a %3 %4 AND a.serial_state = 'used' AND a.serial IS NOT NULL")
          .arg(counter, v2 ? "COALESCE(c.step, 1)" : "1",
               v2 ? "LEFT JOIN otp_counters c ON c.name = a.counter" : "", where);
  const QString islands = QString(
                              "SELECT counter, serial, SUM(brk) OVER (PARTITION BY counter "
                              "ORDER BY serial ROWS UNBOUNDED PRECEDING) AS grp FROM (%1) b")
                              .arg(breaks);
  QSqlQuery ranges(c.Database());
  if (!run(ranges,
           QString("SELECT counter, MIN(serial), MAX(serial), COUNT(*), COUNT(*) OVER () "
                   "FROM (%1) t GROUP BY counter, grp ORDER BY counter, MIN(serial) LIMIT %2")
               .arg(islands)
               .arg(BatchFigures::kListed))) {
    return std::nullopt;
  }
  while (ranges.next()) {
    f.usedRanges = ranges.value(4).toInt();
    f.used.push_back({ranges.value(0).toString().toStdString(), ranges.value(1).toULongLong(),
                      ranges.value(2).toULongLong(), ranges.value(3).toInt()});
  }
  for (const auto& [state, list] :
       {std::pair<const char*, std::vector<std::uint64_t>*>{"spoiled", &f.spoiled},
        {"released", &f.released}}) {
    QSqlQuery numbers(c.Database());
    // A number released twice (given out again, and released again) is listed once.
    if (!run(numbers, QString("SELECT DISTINCT a.serial FROM otp_attempts a %1 AND "
                              "a.serial_state = '%2' AND a.serial IS NOT NULL ORDER BY a.serial "
                              "LIMIT %3")
                          .arg(where, state)
                          .arg(BatchFigures::kListed))) {
      return std::nullopt;
    }
    while (numbers.next())
      list->push_back(numbers.value(0).toULongLong());
  }
  QSqlQuery next(c.Database());
  if (!run(next, QString("SELECT DISTINCT %1, c.next_number FROM otp_attempts a JOIN otp_counters "
                         "c ON c.name = %1 %2 AND a.serial IS NOT NULL ORDER BY 1")
                     .arg(counter, where))) {
    return std::nullopt;
  }
  while (next.next()) {
    const qlonglong number = next.value(1).toLongLong();
    f.nextFree.emplace_back(next.value(0).toString().toStdString(),
                            number < 0
                                ? std::nullopt
                                : std::optional<std::uint64_t>(static_cast<std::uint64_t>(number)));
  }
  return f;
}

}  // namespace otp
