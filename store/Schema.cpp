// The store's tables: made on first use, upgraded from every older version in one
// transaction, never changed when newer; and opening a store.

#include <QFileInfo>
#include <QStringList>
#include <QUuid>
#include <atomic>

#include "store/Connection.h"

namespace otp {

using store::Q;

namespace {

const char* kWhatSchema = "cannot make or upgrade its tables";

// One lock for everyone who makes or upgrades the schema at the same moment.
constexpr qlonglong kSchemaLock = 0x4F54505343484D41;  // "OTPSCHMA"

// The tables as this version makes them. Attempts keep the exit status of the first
// schema's rows; later rows carry their verdict, and their outcome, instead.
QStringList SchemaStatements(bool postgres) {
  const QString key = postgres ? "BIGSERIAL PRIMARY KEY" : "INTEGER PRIMARY KEY";
  return {
      "CREATE TABLE IF NOT EXISTS otp_schema (version INTEGER NOT NULL, identity TEXT)",
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
          "verdict TEXT, failed_block BIGINT, outcome TEXT, lot TEXT NOT NULL DEFAULT '', "
          "reading TEXT, guess INTEGER NOT NULL DEFAULT 0, corrected TEXT, lot_place BIGINT, wrote "
          "INTEGER)",
  };
}

// What schema 3 adds to a store of schema 2: leases that outlive a dropped connection,
// a site's settings, lots, and each attempt's outcome, lot, reading and correction.
QStringList TablesOfVersion3() {
  return {
      "CREATE TABLE IF NOT EXISTS otp_leases (owner TEXT PRIMARY KEY, station TEXT NOT NULL, "
      "host TEXT NOT NULL, boot TEXT NOT NULL, pid BIGINT NOT NULL, process_start TEXT NOT "
      "NULL, started TEXT NOT NULL, heard BIGINT NOT NULL, live TEXT NOT NULL DEFAULT '')",
      "CREATE TABLE IF NOT EXISTS otp_settings (name TEXT PRIMARY KEY, value BIGINT NOT NULL)",
      "CREATE TABLE IF NOT EXISTS otp_lots (name TEXT PRIMARY KEY, quantity BIGINT NOT NULL, "
      "job TEXT NOT NULL, created TEXT NOT NULL, next_place BIGINT NOT NULL DEFAULT 1)",
  };
}

// What schema 4 adds: a lot's parts as places that stations take in the store, as they
// take numbers, and the place each attempt held.
QStringList TablesOfVersion4() {
  return {
      "CREATE TABLE IF NOT EXISTS otp_lot_places (lot TEXT NOT NULL, place BIGINT NOT NULL, "
      "state TEXT NOT NULL CHECK (state IN ('held', 'passed', 'free', 'unknown')), owner TEXT, "
      "unit_id TEXT, station TEXT, changed TEXT NOT NULL, PRIMARY KEY (lot, place))",
  };
}

// Columns that schema 4 adds to the tables of schema 3.
const std::pair<const char*, const char*> kColumnsOfVersion4[] = {
    {"otp_lots", "next_place BIGINT NOT NULL DEFAULT 1"},
    {"otp_attempts", "lot_place BIGINT"},
};

// What schema 5 adds: whether a unit sent a program block to its part. Rows of earlier
// schemas have none; their outcome, number and failed block tell it.
const std::pair<const char*, const char*> kColumnsOfVersion5[] = {
    {"otp_attempts", "wrote INTEGER"},
};

// The units of a lot that passed before its parts were places: each is given a place, so
// that the lot's count goes on from them.
const char* const kPlacesOfPasses[] = {
    "INSERT INTO otp_lot_places (lot, place, state, owner, unit_id, station, changed) SELECT "
    "a.lot, ROW_NUMBER() OVER (PARTITION BY a.lot ORDER BY a.id), 'passed', '', a.unit_id, "
    "a.station, a.ended FROM otp_attempts a JOIN otp_lots l ON l.name = a.lot WHERE a.outcome "
    "= 'pass'",
    "UPDATE otp_lots SET next_place = 1 + (SELECT COUNT(*) FROM otp_lot_places p WHERE p.lot = "
    "otp_lots.name)",
};

// Columns that schema 3 adds to the tables of schema 2.
const std::pair<const char*, const char*> kColumnsOfVersion3[] = {
    {"otp_schema", "identity TEXT"},
    {"otp_attempts", "outcome TEXT"},
    {"otp_attempts", "lot TEXT NOT NULL DEFAULT ''"},
    {"otp_attempts", "reading TEXT"},
    {"otp_attempts", "guess INTEGER NOT NULL DEFAULT 0"},
    {"otp_attempts", "corrected TEXT"},
};

// What the reports and the leftovers look for, fast on a year of records.
const QStringList kIndexes = {
    "CREATE INDEX IF NOT EXISTS otp_attempts_started ON otp_attempts (started)",
    "CREATE INDEX IF NOT EXISTS otp_attempts_station ON otp_attempts (station, started)",
    "CREATE INDEX IF NOT EXISTS otp_attempts_job ON otp_attempts (job, started)",
    "CREATE INDEX IF NOT EXISTS otp_attempts_lot ON otp_attempts (lot, started)",
    "CREATE INDEX IF NOT EXISTS otp_serials_state ON otp_serials (state, station)",
    "CREATE INDEX IF NOT EXISTS otp_serials_counter ON otp_serials (counter, state, number)",
    "CREATE INDEX IF NOT EXISTS otp_serials_owner ON otp_serials (owner, state)",
    "CREATE INDEX IF NOT EXISTS otp_lot_places_owner ON otp_lot_places (owner, state)",
    "CREATE INDEX IF NOT EXISTS otp_lot_places_state ON otp_lot_places (lot, state, place)",
};

// The verdicts of the first schema's rows, from the exit status the command line gave.
const char* kVerdictOfExit =
    "UPDATE otp_attempts SET verdict = CASE exit_status WHEN 0 THEN 'pass' WHEN 1 THEN "
    "'not-good' WHEN 2 THEN 'link' WHEN 3 THEN 'file' WHEN 4 THEN 'port' WHEN 5 THEN 'plan' "
    "WHEN 6 THEN 'interrupted' ELSE 'link' END WHERE verdict IS NULL";

}  // namespace

bool ProductionStore::Connection::ReadVersion(StoreError& error) {
  QSqlQuery query(Database());
  const bool identified = HasColumn("otp_schema", "identity");
  if (!Run(query,
           identified ? "SELECT version, identity FROM otp_schema"
                      : "SELECT version FROM otp_schema",
           {}, "cannot read its schema version", error)) {
    return false;
  }
  const bool row = query.next();
  version = row ? query.value(0).toInt() : 0;
  identity = row && identified ? query.value(1).toString().toStdString() : std::string();
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
    for (const QString& statement :
         SchemaStatements(place.postgres) + TablesOfVersion3() + TablesOfVersion4()) {
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
  } else if (version < 2) {
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
      // SQLite changes a column's constraints only by making the table anew (as this
      // version makes it: the columns of later versions are there at once).
      upgrade << "ALTER TABLE otp_attempts RENAME TO otp_attempts_v1"
              << SchemaStatements(false).last()
              << QString("INSERT INTO otp_attempts (id, %1) SELECT id, %1 FROM otp_attempts_v1")
                     .arg(store::kAttemptColumns)
              << "DROP TABLE otp_attempts_v1";
    }
    upgrade << "UPDATE otp_attempts SET counter = 'serial' WHERE serial IS NOT NULL"
            << kVerdictOfExit;
    for (const QString& statement : upgrade) {
      if (!Run(statement, {}, "cannot upgrade its tables", error)) return fail();
    }
  }
  // Columns a version adds, each when it is missing, and its tables.
  auto addColumns = [&](const auto& columns) {
    for (const auto& [table, column] : columns) {
      const QString name = QString(column).section(' ', 0, 0);
      if (!HasColumn(table, name) &&
          !Run(QString("ALTER TABLE %1 ADD COLUMN %2").arg(table, column), {},
               "cannot upgrade its tables", error)) {
        return false;
      }
    }
    return true;
  };
  auto runAll = [&](const QStringList& statements) {
    for (const QString& statement : statements) {
      if (!Run(statement, {}, "cannot upgrade its tables", error)) return false;
    }
    return true;
  };
  if (!created && version < 3) {
    if (!addColumns(kColumnsOfVersion3) || !runAll(TablesOfVersion3())) return fail();
  }
  if (!created && version < 4) {
    QStringList places;
    for (const char* statement : kPlacesOfPasses)
      places << statement;
    if (!addColumns(kColumnsOfVersion4) || !runAll(TablesOfVersion4()) || !runAll(places)) {
      return fail();
    }
  }
  if (!created && version < 5 && !addColumns(kColumnsOfVersion5)) return fail();
  if (!created && version < kSchemaVersion &&
      !Run("UPDATE otp_schema SET version = ?", {kSchemaVersion}, "cannot upgrade its tables",
           error)) {
    return fail();
  }
  // The store's identity is made with it, or with the upgrade that first gives it one.
  if (identity.empty()) {
    identity = QUuid::createUuid().toString(QUuid::Id128).toStdString();
    if (!Run("UPDATE otp_schema SET identity = ?", {Q(identity)}, kWhatSchema, error)) {
      return fail();
    }
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
  std::string why;
  if (!store::ParsePlace(location, c.place, why)) {
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
  StoreError ignored;
  if (c.place.postgres) {
    // The server's notices ("already exists, skipping") are no news for a person.
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
  if (!reading && !c.place.postgres) {
    // Once it is ours: readers never hold up a writer (a year's report beside a
    // station), and a commit is on the disk before it returns.
    c.Run("PRAGMA journal_mode = WAL", {}, "", ignored);
    c.Run("PRAGMA synchronous = FULL", {}, "", ignored);
  }
  return std::unique_ptr<ProductionStore>(new ProductionStore(std::move(connection)));
}

std::function<std::unique_ptr<RecordStore>(StoreError&)> ProductionStore::OpenerFor(
    const std::string& location, Options options) {
  return [location, options](StoreError& error) -> std::unique_ptr<RecordStore> {
    return Open(location, error, options);
  };
}

Station::Options StationOptionsFor(const std::string& location, const std::string& dataDir,
                                   const std::string& boundStore) {
  Station::Options where;
  where.store = location;
  where.legacyLocation = location;
  where.opener = ProductionStore::OpenerFor(location);
  where.dataDir = dataDir;
  where.boundStore = boundStore;
  return where;
}

int ProductionStore::version() const {
  return connection_->version;
}

std::string ProductionStore::Location() const {
  return connection_->place.printable;
}

std::string ProductionStore::Identity() const {
  return connection_->identity;
}

bool ProductionStore::Created() const {
  return connection_->created;
}

}  // namespace otp
