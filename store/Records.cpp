// Records of attempts: settled with their numbers and places in one transaction, read
// page by page.

#include "store/Connection.h"

namespace otp {

using store::Big;
using store::Maybe;
using store::Q;

namespace store {

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
  if (!filter.lot.empty()) {
    where += version >= 3 ? " AND a.lot = ?" : " AND 1 = 0 AND ? <> ''";
    values << Q(filter.lot);
  }
  return where;
}

}  // namespace store

namespace {

// The columns an attempt is written with, and its values in their order.
const char* kWrittenColumns =
    "started, ended, station, port, device, model, clock, image, crc32, serial, serial_state, "
    "result, exit_status, report_id, report_text, first_difference, seconds, unit_id, counter, "
    "job, job_sum, verdict, failed_block, outcome, lot, reading, guess, corrected, lot_place, "
    "wrote";

QVariantList Values(const Attempt& a) {
  return {Q(a.started),
          Q(a.ended),
          Q(a.station),
          Q(a.port),
          Q(a.device),
          Q(a.model),
          Q(a.clock),
          Q(a.image),
          Big(a.crc32),
          Maybe(a.serial),
          Q(a.serialState ? SerialStateName(*a.serialState) : ""),
          Q(a.ResultName()),
          Maybe(a.exitStatus),
          Maybe(a.reportId),
          Q(a.reportText),
          Maybe(a.firstDifference),
          a.seconds,
          a.unitId.empty() ? QVariant() : QVariant(Q(a.unitId)),
          a.counter.empty() ? QVariant() : QVariant(Q(a.counter)),
          Q(a.job),
          Q(a.jobSum),
          Q(VerdictName(a.verdict)),
          Maybe(a.failedBlock),
          Q(OutcomeName(a.outcome)),
          Q(a.lot),
          Q(ReadModeName(a.reading)),
          a.guess ? 1 : 0,
          a.corrected ? QVariant(Q(OutcomeName(*a.corrected))) : QVariant(),
          Maybe(a.lotPlace),
          a.Wrote() ? 1 : 0};
}

}  // namespace

bool ProductionStore::SettleAndRecord(const Attempt& a, const std::string& owner,
                                      StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot record the attempt";
  if (!c.Begin(what, error)) return false;
  auto fail = [&] {
    c.Rollback();
    return false;
  };
  // The attempt's number moves from reserved to its state. A number that a start spoiled
  // when it took its owner for gone (in a block, or for this very unit) is its owner's
  // still: the owner's own word settles it.
  auto settle = [&](const char* state, bool mustSettle) {
    if (!a.serial) return true;
    QSqlQuery query(c.Database());
    if (!c.Run(query,
               "UPDATE otp_serials SET state = ?, changed = ?, unit_id = COALESCE(unit_id, ?) "
               "WHERE counter = ? AND number = ? AND COALESCE(owner, '') = ? AND (state = "
               "'reserved' OR (state = 'spoiled' AND ? = 1 AND (unit_id IS NULL OR unit_id = ?)))",
               {Q(state), store::Now(), Q(a.unitId), Q(a.counter), Big(*a.serial), Q(owner),
                a.guess ? 0 : 1, Q(a.unitId)},
               what, error)) {
      return false;
    }
    if (mustSettle && query.numRowsAffected() != 1) {
      error = c.Refusal(what,
                        "number " + std::to_string(*a.serial) + " is not reserved by this station");
      return false;
    }
    return true;
  };
  // The lot's place of a unit that passed is its for good; a unit that did not pass
  // leaves its place with its station, which burns the next part on it.
  auto pass = [&] {
    if (!a.lotPlace || a.outcome != UnitOutcome::kPass || a.lot.empty()) return true;
    return c.Run(
        "UPDATE otp_lot_places SET state = 'passed', unit_id = ?, changed = ? WHERE lot "
        "= ? AND place = ? AND COALESCE(owner, '') = ? AND state IN ('held', 'unknown')",
        {Q(a.unitId), store::Now(), Q(a.lot), Big(*a.lotPlace), Q(owner)}, what, error);
  };
  const char* state = a.serialState ? SerialStateName(*a.serialState) : "";
  if (!a.unitId.empty()) {
    QSqlQuery known(c.Database());
    if (!c.Run(known, "SELECT guess, outcome FROM otp_attempts WHERE unit_id = ?", {Q(a.unitId)},
               what, error)) {
      return fail();
    }
    if (known.next()) {
      const bool guessed = known.value(0).toInt() != 0;
      const QString outcome = known.value(1).toString();
      known.finish();
      if (!guessed || a.guess) {
        // Recorded already (a journal replayed after its commit): a number still reserved
        // for this very unit is settled, whatever recorded it first.
        if (!settle(state, false) || !pass()) return fail();
        return c.Commit(what, error);
      }
      // The station's own word replaces what a start guessed of it, which it names.
      Attempt truth = a;
      truth.corrected = OutcomeNamed(outcome.toStdString()).value_or(UnitOutcome::kStopped);
      if (!settle(state, false) || !pass()) return fail();
      QString assignments = QString(kWrittenColumns).replace(", ", " = ?, ") + " = ?";
      if (!c.Run("UPDATE otp_attempts SET " + assignments + " WHERE unit_id = ?",
                 Values(truth) + QVariantList{Q(a.unitId)}, what, error)) {
        return fail();
      }
      return c.Commit(what, error);
    }
  }
  if (!settle(state, true) || !pass()) return fail();
  if (!c.Run(QString("INSERT INTO otp_attempts (%1) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
                     "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)")
                 .arg(kWrittenColumns),
             Values(a), what, error)) {
    return fail();
  }
  return c.Commit(what, error);
}

std::optional<std::vector<bool>> ProductionStore::Recorded(const std::vector<std::string>& ids,
                                                           StoreError& error) {
  Connection& c = *connection_;
  std::vector<bool> recorded;
  if (c.version < 2) return std::vector<bool>(ids.size(), false);
  QSqlQuery query(c.Database());
  if (!query.prepare("SELECT 1 FROM otp_attempts WHERE unit_id = ?")) {
    error = c.Failure("cannot read its attempts", query.lastError());
    return std::nullopt;
  }
  for (const std::string& id : ids) {
    query.addBindValue(Q(id));
    if (!query.exec()) {
      error = c.Failure("cannot read its attempts", query.lastError());
      return std::nullopt;
    }
    recorded.push_back(query.next());
    query.finish();
  }
  return recorded;
}

bool ProductionStore::ForEachAttempt(const AttemptFilter& filter,
                                     const std::function<bool(const Attempt&)>& each,
                                     StoreError& error) {
  Connection& c = *connection_;
  if (!filter.job.empty() && c.version < 2) return true;
  if (!filter.lot.empty() && c.version < 3) return true;
  QVariantList values;
  const QString columns = "a.id, " + store::AttemptColumns(c.version);
  const QString where = store::Where(filter, c.version, values);
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
      last.push_back(store::ReadAttempt(query, 1, c.version));
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
      id = query.value(0).toLongLong();
      if (!each(store::ReadAttempt(query, 1, c.version))) return true;
    }
    if (rows < kPage) return true;
  }
}

}  // namespace otp
