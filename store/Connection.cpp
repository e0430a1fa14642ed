#include "store/Connection.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>
#include <QUrlQuery>
#include <cstdlib>
#include <map>
#include <set>

namespace otp::store {

QString Now() {
  return QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
}

namespace {

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

// A station waits for no server for ever: what libpq and the server are told unless the
// URL says otherwise. A dead peer is found within about ten seconds (keepalives, and the
// time unacknowledged data may wait); a statement, a lock wait and a transaction left idle
// by a station that went away all end.
const std::pair<const char*, const char*> kClientDefaults[] = {
    {"connect_timeout", "5"},     {"keepalives", "1"},       {"keepalives_idle", "5"},
    {"keepalives_interval", "2"}, {"keepalives_count", "3"}, {"tcp_user_timeout", "10000"},
};
// Server settings, in milliseconds, that the URL may name as parameters of their own.
const std::pair<const char*, const char*> kServerDefaults[] = {
    {"statement_timeout", "30000"},
    {"lock_timeout", "5000"},
    {"idle_in_transaction_session_timeout", "15000"},
};

// A value of libpq's connection string, quoted.
QString Quoted(const QString& value) {
  QString out = "'";
  for (const QChar c : value) {
    if (c == '\'' || c == '\\') out += '\\';
    out += c;
  }
  return out + "'";
}

}  // namespace

StoreError::Kind KindOf(const QSqlError& error, bool postgres) {
  if (error.type() == QSqlError::ConnectionError) return StoreError::Kind::kUnavailable;
  const QString code = error.nativeErrorCode();
  if (postgres) {
    // No SQLSTATE: the connection broke before an answer. Classes 08 (connection), 53
    // (resources), 57 (operator intervention: shutdown, statement time-out), and the
    // conflicts that a retry resolves (serialization, deadlock, lock time-out).
    if (code.isEmpty() || code.startsWith("08") || code.startsWith("53") || code.startsWith("57") ||
        code == "40001" || code == "40P01" || code == "55P03" || code == "25P03") {
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

bool SecretKey(const QString& key) {
  return key.toLower().contains("password");
}

Location ReadLocation(const std::string& location) {
  Location read;
  const QString text = Q(location);
  read.postgres = IsServerLocation(location);
  if (!read.postgres) {
    read.printable = read.storable = location;
    return read;
  }
  const QUrl url(text, QUrl::TolerantMode);
  if (!url.isValid() || url.host().isEmpty()) {
    // Of a URL that cannot be read only what comes before its first ':' is shown (its
    // user's name, or its host): a password can only come after one.
    read.readable = false;
    const std::size_t start = location.find("//") + 2;
    const std::size_t end = std::min(location.find_first_of(":/?#", start), location.size());
    read.printable = read.storable =
        "postgresql://" + location.substr(start, end - start) + "... (a URL that cannot be read)";
    return read;
  }
  read.url = url;
  read.password = url.password(QUrl::FullyDecoded).toStdString();
  // Rebuilt from its parts: the user's name, the host, the port, the database and each
  // parameter, decoded and encoded again.
  QString base = "postgresql://";
  if (!url.userName(QUrl::FullyDecoded).isEmpty())
    base += QString::fromUtf8(QUrl::toPercentEncoding(url.userName(QUrl::FullyDecoded))) + "@";
  const QString host = url.host(QUrl::FullyEncoded);
  base += host.contains(':') ? "[" + host + "]" : host;
  if (url.port() > 0) base += ":" + QString::number(url.port());
  base += url.path(QUrl::FullyEncoded);
  QString shown;
  QString kept;
  for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
    const QString name = QString::fromUtf8(QUrl::toPercentEncoding(key));
    if (SecretKey(key)) {
      if (key.toLower() == "password") read.password = value.toStdString();
      shown += (shown.isEmpty() ? "?" : "&") + name + "=***";
      continue;
    }
    const QString item = name + "=" + QString::fromUtf8(QUrl::toPercentEncoding(value));
    shown += (shown.isEmpty() ? "?" : "&") + item;
    kept += (kept.isEmpty() ? "?" : "&") + item;
  }
  read.printable = (base + shown).toStdString();
  read.storable = (base + kept).toStdString();
  return read;
}

bool ParsePlace(const std::string& location, Place& place, std::string& error) {
  const QString text = Q(location);
  const Location read = ReadLocation(location);
  place.postgres = read.postgres;
  if (!place.postgres) {
    // One file whatever names it: a link, a relative path, a folder's link.
    const QFileInfo info(text);
    place.file = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
    place.printable = place.file.toStdString();
    return true;
  }
  const QUrl url(text, QUrl::StrictMode);
  place.printable = read.printable;
  if (!read.readable || !url.isValid() || url.host().isEmpty() || url.path().size() < 2) {
    error = read.printable +
            ": expected postgresql://USER@HOST[:PORT]/DBNAME[?PARAM=VALUE&...] (a password "
            "holding @, / or ? is written %40, %2F, %3F)";
    return false;
  }
  place.url = url;
  place.password = read.password;
  std::map<QString, QString> client;
  for (const auto& [key, value] : kClientDefaults)
    client[key] = value;
  std::map<QString, QString> server;
  for (const auto& [key, value] : kServerDefaults)
    server[key] = value;
  QString options;
  for (const auto& [key, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
    if (key == "password") continue;  // read above
    if (SecretKey(key)) {
      error = place.printable + ": unknown connection parameter " + key.toStdString();
      return false;
    }
    const bool serverSetting = server.count(key) > 0;
    if (!KnownParameters().count(key) && !serverSetting) {
      error = place.printable + ": unknown connection parameter " + key.toStdString();
      return false;
    }
    // QPSQL separates its options at ';': a value cannot hold one.
    if (value.contains(';')) {
      error = place.printable + ": the value of " + key.toStdString() + " holds a ';'";
      return false;
    }
    if (serverSetting) {
      bool number = false;
      value.toLongLong(&number);
      if (!number) {
        error = place.printable + ": " + key.toStdString() + " is a number of milliseconds";
        return false;
      }
      server[key] = value;
    } else if (key == "options") {
      options = value;
    } else {
      client[key] = value;
    }
  }
  QStringList parameters;
  for (const auto& [key, value] : client)
    parameters << key + "=" + Quoted(value);
  for (const auto& [key, value] : server) {
    // What the URL's own options set stays as it set it.
    if (!options.contains(key + "=")) options += " -c " + key + "=" + value;
  }
  parameters << "options=" + Quoted(options.trimmed());
  place.options = parameters.join(';');
  return true;
}

const char* const kAttemptColumns =
    "started, ended, station, port, device, model, clock, image, crc32, serial, serial_state, "
    "result, exit_status, report_id, report_text, first_difference, seconds";

QString AttemptColumns(int version) {
  QString columns = QString("a.") + QString(kAttemptColumns).replace(", ", ", a.");
  columns += version >= 2 ? ", a.unit_id, a.counter, a.job, a.job_sum, a.verdict, a.failed_block"
                          : ", NULL, NULL, '', '', NULL, NULL";
  columns += version >= 3 ? ", a.outcome, a.lot, a.reading, a.guess, a.corrected"
                          : ", NULL, '', NULL, 0, NULL";
  columns += version >= 4 ? ", a.lot_place" : ", NULL";
  columns += version >= 5 ? ", a.wrote" : ", NULL";
  return columns;
}

Attempt ReadAttempt(const QSqlQuery& query, int first, int version) {
  (void)version;
  Attempt a;
  int i = first;
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
  a.serialState = SerialStateNamed(text());
  const std::string result = text();
  if (const auto exit = number()) a.exitStatus = static_cast<int>(*exit);
  if (const auto id = number()) a.reportId = static_cast<unsigned>(*id);
  a.reportText = text();
  if (const auto at = number()) a.firstDifference = static_cast<std::uint32_t>(*at);
  a.seconds = query.value(i++).toDouble();
  a.unitId = text();
  a.counter = text();
  a.job = text();
  a.jobSum = text();
  const std::string verdict = text();
  if (const auto block = number()) a.failedBlock = static_cast<std::uint32_t>(*block);
  const std::string outcome = text();
  a.lot = text();
  a.reading = ReadModeNamed(text()).value_or(ReadMode::kArea);
  a.guess = query.value(i++).toInt() != 0;
  const QVariant corrected = query.value(i++);
  if (!corrected.isNull()) a.corrected = OutcomeNamed(corrected.toString().toStdString());
  if (const auto place = number()) a.lotPlace = static_cast<std::uint64_t>(*place);
  a.wrote = query.value(i++).toInt() != 0;
  // The verdict of the first schema's rows comes from their exit status.
  if (const auto named = VerdictNamed(verdict.c_str())) {
    a.verdict = *named;
  } else if (a.exitStatus) {
    constexpr UnitVerdict kByExit[] = {UnitVerdict::kPass,       UnitVerdict::kNotGood,
                                       UnitVerdict::kLinkFailed, UnitVerdict::kFileFailed,
                                       UnitVerdict::kPortFailed, UnitVerdict::kPlanRefused,
                                       UnitVerdict::kInterrupted};
    a.verdict =
        *a.exitStatus >= 0 && *a.exitStatus < 7 ? kByExit[*a.exitStatus] : UnitVerdict::kLinkFailed;
  }
  // Rows before outcomes: what their result and verdict tell of the part.
  a.outcome = OutcomeNamed(outcome).value_or(LegacyOutcome(result, a.verdict, a.serialState));
  return a;
}

}  // namespace otp::store

namespace otp {

using store::KindOf;
using store::Q;

std::string ProductionStore::Absolute(const std::string& location) {
  if (location.empty() || IsServerLocation(location)) return location;
  const QFileInfo info(Q(location));
  return (info.exists() ? info.canonicalFilePath() : info.absoluteFilePath()).toStdString();
}

std::string ProductionStore::Printable(const std::string& location) {
  return store::ReadLocation(location).printable;
}

std::string ProductionStore::Storable(const std::string& location) {
  return store::ReadLocation(location).storable;
}

ProductionStore::Connection::~Connection() {
  prepared.clear();
  {
    QSqlDatabase db = Database();
    db.close();
  }
  QSqlDatabase::removeDatabase(name);
}

StoreError ProductionStore::Connection::Failure(const std::string& what,
                                                const QSqlError& sqlError) const {
  std::string why = sqlError.text().toStdString();
  // The driver's words might hold a password in any of the ways it was given.
  const char* environment = std::getenv("PGPASSWORD");
  for (const std::string& secret :
       {place.password, place.url.password(QUrl::FullyEncoded).toStdString(),
        QString::fromUtf8(QUrl::toPercentEncoding(Q(place.password))).toStdString(),
        std::string(environment ? environment : "")}) {
    if (secret.empty()) continue;
    for (auto at = why.find(secret); at != std::string::npos; at = why.find(secret))
      why.replace(at, secret.size(), "***");
  }
  StoreError error;
  error.Set(KindOf(sqlError, place.postgres), place.printable + ": " + what + ": " + why);
  return error;
}

StoreError ProductionStore::Connection::Refusal(const std::string& what,
                                                const std::string& why) const {
  StoreError error;
  error.Set(StoreError::Kind::kRefused, place.printable + ": " + what + ": " + why);
  return error;
}

bool ProductionStore::Connection::Run(QSqlQuery& query, const QString& sql,
                                      const QVariantList& values, const char* what,
                                      StoreError& error) {
  bool done = false;
  if (values.isEmpty()) {
    done = query.exec(sql);
  } else if (!place.postgres || query.isForwardOnly()) {
    // On SQLite preparing costs no round trip; a big forward read prepares its own.
    done = query.prepare(sql);
    for (const QVariant& value : values)
      query.addBindValue(value);
    done = done && query.exec();
  } else {
    auto kept = prepared.find(sql);
    if (kept == prepared.end()) {
      // Statements made from lists (numbers given back) are many: then all kept go.
      if (prepared.size() >= kMostPrepared) prepared.clear();
      QSqlQuery made(Database());
      if (!made.prepare(sql)) {
        error = Failure(what, made.lastError());
        return false;
      }
      kept = prepared.emplace(sql, std::move(made)).first;
    }
    // The caller's query shares the kept statement (a copy of a query is a handle on the
    // same result; Qt marks such copies as deprecated, for their sharing is what is meant).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    query = kept->second;
#pragma GCC diagnostic pop
    for (int i = 0; i < values.size(); ++i)
      query.bindValue(i, values[i]);
    done = query.exec();
  }
  if (!done) error = Failure(what, query.lastError());
  return done;
}

bool ProductionStore::Connection::Run(const QString& sql, const QVariantList& values,
                                      const char* what, StoreError& error) {
  QSqlQuery query(Database());
  return Run(query, sql, values, what, error);
}

bool ProductionStore::Connection::Begin(const char* what, StoreError& error) {
  return Run(place.postgres ? "BEGIN" : "BEGIN IMMEDIATE", {}, what, error);
}

bool ProductionStore::Connection::BeginRead(const char* what, StoreError& error) {
  return Run(place.postgres ? "BEGIN ISOLATION LEVEL REPEATABLE READ READ ONLY" : "BEGIN", {}, what,
             error);
}

void ProductionStore::Connection::Rollback() {
  StoreError ignored;
  Run("ROLLBACK", {}, "", ignored);
}

bool ProductionStore::Connection::HasTable(const QString& table) {
  QSqlQuery query(Database());
  StoreError ignored;
  const QString sql =
      place.postgres
          ? "SELECT 1 FROM information_schema.tables WHERE table_schema = current_schema() "
            "AND table_name = ?"
          : "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?";
  return Run(query, sql, {table}, "", ignored) && query.next();
}

bool ProductionStore::Connection::HasIndex(const QString& index) {
  QSqlQuery query(Database());
  StoreError ignored;
  const QString sql =
      place.postgres
          ? "SELECT 1 FROM pg_indexes WHERE schemaname = current_schema() AND indexname = ?"
          : "SELECT 1 FROM sqlite_master WHERE type = 'index' AND name = ?";
  return Run(query, sql, {index}, "", ignored) && query.next();
}

bool ProductionStore::Connection::HasColumn(const QString& table, const QString& column) {
  QSqlQuery query(Database());
  StoreError ignored;
  if (place.postgres) {
    return Run(query,
               "SELECT 1 FROM information_schema.columns WHERE table_schema = current_schema() "
               "AND table_name = ? AND column_name = ?",
               {table, column}, "", ignored) &&
           query.next();
  }
  if (!Run(query, "PRAGMA table_info(" + table + ")", {}, "", ignored)) return false;
  while (query.next()) {
    if (query.value(1).toString() == column) return true;
  }
  return false;
}

int ProductionStore::Connection::CountTables() {
  QSqlQuery query(Database());
  StoreError ignored;
  const QString sql = place.postgres ? "SELECT count(*) FROM information_schema.tables WHERE "
                                       "table_schema = current_schema()"
                                     : "SELECT count(*) FROM sqlite_master WHERE type = 'table'";
  return Run(query, sql, {}, "", ignored) && query.next() ? query.value(0).toInt() : 0;
}

std::optional<long long> ProductionStore::Connection::ServerSeconds(StoreError& error) {
  QSqlQuery query(Database());
  const QString sql = place.postgres
                          ? "SELECT CAST(EXTRACT(EPOCH FROM clock_timestamp()) AS BIGINT)"
                          : "SELECT CAST(strftime('%s', 'now') AS INTEGER)";
  if (!Run(query, sql, {}, "cannot read its clock", error) || !query.next()) return std::nullopt;
  return query.value(0).toLongLong();
}

}  // namespace otp
