// Leases: which process holds which numbers, and when it was last heard of, by the
// store's own clock; and a site's settings.

#include "store/Connection.h"

namespace otp {

using store::Q;

namespace {

// The store's clock in whole seconds, as SQL: one clock for every station.
QString NowSeconds(bool postgres) {
  return postgres ? "CAST(EXTRACT(EPOCH FROM clock_timestamp()) AS BIGINT)"
                  : "CAST(strftime('%s', 'now') AS INTEGER)";
}

}  // namespace

bool ProductionStore::Claim(const LeaseHolder& holder, StoreError& error) {
  Connection& c = *connection_;
  const QString now = NowSeconds(c.place.postgres);
  return c.Run(QString("INSERT INTO otp_leases (owner, station, host, boot, pid, process_start, "
                       "started, heard) VALUES (?, ?, ?, ?, ?, ?, ?, %1) ON CONFLICT (owner) DO "
                       "UPDATE SET heard = %1")
                   .arg(now),
               {Q(holder.owner), Q(holder.station), Q(holder.host), Q(holder.boot),
                QVariant::fromValue<qlonglong>(holder.pid), Q(holder.processStart), store::Now()},
               "cannot take its lease", error);
}

bool ProductionStore::Heartbeat(const std::string& owner, const std::string& live,
                                StoreError& error) {
  Connection& c = *connection_;
  QSqlQuery query(c.Database());
  if (!c.Run(query,
             QString("UPDATE otp_leases SET heard = %1, live = ? WHERE owner = ?")
                 .arg(NowSeconds(c.place.postgres)),
             {Q(live), Q(owner)}, "cannot renew its lease", error)) {
    return false;
  }
  // Judged gone by another station while it was away: its lease is no more.
  if (query.numRowsAffected() == 0) {
    error = c.Refusal("cannot renew its lease", "it was given up, or taken as ended");
    return false;
  }
  return true;
}

bool ProductionStore::Release(const std::string& owner, StoreError& error) {
  return connection_->Run("DELETE FROM otp_leases WHERE owner = ?", {Q(owner)},
                          "cannot give its lease up", error);
}

std::optional<std::vector<Lease>> ProductionStore::Leases(StoreError& error) {
  Connection& c = *connection_;
  if (c.version < 3) return std::vector<Lease>{};
  QSqlQuery query(c.Database());
  if (!c.Run(query,
             QString("SELECT owner, station, host, boot, pid, process_start, started, %1 - heard, "
                     "live FROM otp_leases ORDER BY station, started")
                 .arg(NowSeconds(c.place.postgres)),
             {}, "cannot read its leases", error)) {
    return std::nullopt;
  }
  std::vector<Lease> leases;
  while (query.next()) {
    Lease lease;
    int i = 0;
    auto text = [&] { return query.value(i++).toString().toStdString(); };
    lease.holder.owner = text();
    lease.holder.station = text();
    lease.holder.host = text();
    lease.holder.boot = text();
    lease.holder.pid = query.value(i++).toLongLong();
    lease.holder.processStart = text();
    lease.started = text();
    lease.silent = query.value(i++).toLongLong();
    lease.live = text();
    leases.push_back(std::move(lease));
  }
  return leases;
}

std::optional<long long> ProductionStore::Setting(const std::string& name, StoreError& error) {
  Connection& c = *connection_;
  if (c.version < 3) return std::nullopt;
  QSqlQuery query(c.Database());
  if (!c.Run(query, "SELECT value FROM otp_settings WHERE name = ?", {Q(name)},
             "cannot read its settings", error) ||
      !query.next()) {
    return std::nullopt;
  }
  return query.value(0).toLongLong();
}

bool ProductionStore::SetSetting(const std::string& name, long long value, StoreError& error) {
  return connection_->Run(
      "INSERT INTO otp_settings (name, value) VALUES (?, ?) ON CONFLICT (name) DO UPDATE SET "
      "value = excluded.value",
      {Q(name), QVariant::fromValue<qlonglong>(value)}, "cannot change its settings", error);
}

}  // namespace otp
