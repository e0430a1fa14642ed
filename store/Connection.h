#pragma once

// What every part of the store shares: where it lies, its connection, and how a
// statement runs and fails. Private to store/.

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <map>
#include <optional>
#include <string>

#include "store/ProductionStore.h"

namespace otp::store {

inline QString Q(const std::string& text) {
  return QString::fromStdString(text);
}
inline QVariant Big(std::uint64_t value) {
  return QVariant::fromValue<qlonglong>(static_cast<qlonglong>(value));
}
template <typename T>
QVariant Maybe(const std::optional<T>& value) {
  return value ? QVariant::fromValue<qlonglong>(static_cast<qlonglong>(*value)) : QVariant();
}
/// Now, UTC, ISO 8601, by this computer's clock.
QString Now();

/// A location read once into its parts, whatever its spelling (percent-encoding, case,
/// repeated keys, a password in the user information or in the query): everything that
/// shows or keeps a location is made from these parts, never from the text as typed.
struct Location {
  bool postgres = false;
  bool readable = true;   // a PostgreSQL URL that QUrl can read
  QUrl url;               // PostgreSQL
  std::string password;   // decoded: from the user information, or the last password item
  std::string printable;  // to show: every password as ***
  std::string storable;   // to keep in a file: without any password
};
/// Reads `location` (an SQLite file's name is taken as it is).
Location ReadLocation(const std::string& location);
/// Whether a URL query's key (decoded) names a secret: its value is never shown.
bool SecretKey(const QString& key);

/// Where a store lies, parsed from its location.
struct Place {
  bool postgres = false;
  std::string printable;  // never with a password
  std::string password;
  QString file;     // SQLite: the file itself, every link and relative step resolved
  QUrl url;         // PostgreSQL
  QString options;  // libpq parameters for QPSQL, ";"-separated
};
/// Parses `location`; false with `error` for a location that cannot be used.
bool ParsePlace(const std::string& location, Place& place, std::string& error);

/// Whether a failed statement may work when tried again.
StoreError::Kind KindOf(const QSqlError& error, bool postgres);

/// The WHERE of a filter over otp_attempts (named `a`), with its values.
QString Where(const AttemptFilter& filter, int version, QVariantList& values);

/// Columns of an attempt, in the order `ReadAttempt` reads them (after an id).
extern const char* const kAttemptColumns;
/// The attempt of the row `query` stands on, its columns from `first` on as
/// kAttemptColumns lists them (`version` tells which the store has).
Attempt ReadAttempt(const QSqlQuery& query, int first, int version);
/// The columns to select for kAttemptColumns in a store of `version`.
QString AttemptColumns(int version);

}  // namespace otp::store

namespace otp {

struct ProductionStore::Connection {
  QString name;  // Qt's name of the connection, one per store
  store::Place place;
  int version = 0;
  bool created = false;
  std::string identity;

  QSqlDatabase Database() const { return QSqlDatabase::database(name, false); }
  ~Connection();

  // "WHERE: what failed: why", never with the password; whether trying again may help.
  StoreError Failure(const std::string& what, const QSqlError& sqlError) const;
  // What the store refuses, in its words: "WHERE: what: why".
  StoreError Refusal(const std::string& what, const std::string& why) const;

  // Runs `sql` with `values` bound in order; false with `error` ("WHERE: what: why"). On
  // PostgreSQL a statement with values is prepared once for the connection's life and
  // kept: a unit's record costs one round trip a statement, not three (prepare, run,
  // deallocate). The `query` given then becomes a handle on the kept one, to be read before
  // the same SQL runs again (a forward-only query keeps its own).
  bool Run(QSqlQuery& query, const QString& sql, const QVariantList& values, const char* what,
           StoreError& error);
  bool Run(const QString& sql, const QVariantList& values, const char* what, StoreError& error);

  // A write transaction: SQLite takes its write lock at once, so that two stations never
  // both read the counter and then fail on writing it.
  bool Begin(const char* what, StoreError& error);
  // A read transaction: every statement of it sees one state of the store.
  bool BeginRead(const char* what, StoreError& error);
  bool Commit(const char* what, StoreError& error) { return Run("COMMIT", {}, what, error); }
  void Rollback();

  bool HasTable(const QString& table);
  bool HasIndex(const QString& index);
  bool HasColumn(const QString& table, const QString& column);
  int CountTables();

  // The store's clock, in whole seconds since 1970: one clock for every station.
  std::optional<long long> ServerSeconds(StoreError& error);

  // store/Schema.cpp
  bool MakeOrUpgrade(StoreError& error);
  bool ReadVersion(StoreError& error);

  std::map<QString, QSqlQuery> prepared;  // statements kept, by their SQL
  static constexpr std::size_t kMostPrepared = 64;
};

}  // namespace otp
