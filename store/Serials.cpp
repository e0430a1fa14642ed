// Serial numbers: counters, reservations (one for a unit, or a block for a station to
// hand out), numbers given back, and the numbers that owners hold.

#include <algorithm>

#include "store/Connection.h"

namespace otp {

using store::Big;
using store::Q;

namespace {

constexpr std::uint64_t kLimit = (std::uint64_t{1} << 63) - 1;

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

// The columns a reserved number carries, in the order of `Tag`.
const char* kTagColumns =
    "owner, unit_id, started, port, device, model, clock, image, crc32, job, job_sum, station, "
    "changed";

// What a reserved number carries: its owner and station, and the unit it is for (a number
// in a block carries none).
QVariantList Tag(const std::string& owner, const std::string& station, const Attempt* unit) {
  auto text = [unit](const std::string Attempt::*field) {
    return unit ? QVariant(Q(unit->*field)) : QVariant();
  };
  return {Q(owner),
          text(&Attempt::unitId),
          text(&Attempt::started),
          text(&Attempt::port),
          text(&Attempt::device),
          text(&Attempt::model),
          text(&Attempt::clock),
          text(&Attempt::image),
          unit ? Big(unit->crc32) : QVariant(),
          text(&Attempt::job),
          text(&Attempt::jobSum),
          Q(station),
          store::Now()};
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

namespace {

// Up to `count` numbers of `counter` not above `max`, reserved with `tag`: released ones
// first, then the counter's next ones.
std::optional<std::vector<std::uint64_t>> TakeNumbers(ProductionStore::Connection& c,
                                                      const std::string& counter, std::size_t count,
                                                      std::uint64_t max, const QVariantList& tag,
                                                      StoreError& error) {
  const char* what = "cannot reserve a serial number";
  auto fail = [&]() -> std::optional<std::vector<std::uint64_t>> {
    c.Rollback();
    return std::nullopt;
  };
  if (!c.Begin(what, error)) return std::nullopt;
  const QVariant counterName = Q(counter);
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
    error = c.Refusal(what, "there is no counter " + counter);
    return fail();
  }
  qlonglong following = next.value(0).toLongLong();
  const std::uint64_t step = next.value(1).isNull() ? 1 : next.value(1).toULongLong();
  next.finish();
  std::vector<std::uint64_t> numbers;
  // Numbers given back first, the lowest first.
  QSqlQuery released(c.Database());
  if (!c.Run(released,
             QString("SELECT number FROM otp_serials WHERE counter = ? AND state = 'released' "
                     "AND number <= ? ORDER BY number LIMIT %1")
                 .arg(count),
             {counterName, Big(max)}, what, error)) {
    return fail();
  }
  while (released.next())
    numbers.push_back(released.value(0).toULongLong());
  released.finish();
  const std::size_t reused = numbers.size();
  if (reused > 0) {
    QSqlQuery take(c.Database());
    if (!take.prepare(QString("UPDATE otp_serials SET state = 'reserved', %1 = ? WHERE "
                              "counter = ? AND number = ? AND state = 'released'")
                          .arg(QString(kTagColumns).replace(", ", " = ?, ")))) {
      error = c.Failure(what, take.lastError());
      return fail();
    }
    for (std::size_t i = 0; i < reused; ++i) {
      for (const QVariant& value : tag + QVariantList{counterName, Big(numbers[i])})
        take.addBindValue(value);
      if (!take.exec()) {
        error = c.Failure(what, take.lastError());
        return fail();
      }
    }
  }
  // Then the counter's next numbers, as many as fit, in one statement: the counter stays
  // locked for as short a time as a single row takes.
  const qlonglong before = following;
  std::uint64_t fresh = 0;
  if (numbers.size() < count && following >= 0 && static_cast<std::uint64_t>(following) <= max) {
    const auto first = static_cast<std::uint64_t>(following);
    const std::uint64_t top = std::min(max, kLimit);
    fresh = std::min<std::uint64_t>(count - numbers.size(), (top - first) / step + 1);
    const std::uint64_t last = first + (fresh - 1) * step;
    QSqlQuery insert(c.Database());
    if (!c.Run(insert,
               QString("WITH RECURSIVE fresh(number, k) AS (SELECT CAST(? AS BIGINT), 1 UNION "
                       "ALL SELECT number + CAST(? AS BIGINT), k + 1 FROM fresh WHERE k < ?) "
                       "INSERT INTO otp_serials (%1, counter, number, state) SELECT ?, ?, ?, ?, "
                       "?, ?, ?, ?, ?, ?, ?, ?, ?, ?, number, 'reserved' FROM fresh")
                   .arg(kTagColumns),
               QVariantList{Big(first), Big(step), Big(fresh)} + tag + QVariantList{counterName},
               what, error)) {
      return fail();
    }
    for (std::uint64_t i = 0; i < fresh; ++i)
      numbers.push_back(first + i * step);
    // Past 2^63 - 1 a counter gives no more: -1 marks it.
    following = last > kLimit - step ? -1 : static_cast<qlonglong>(last + step);
  }
  if (following != before && !c.Run("UPDATE otp_counters SET next_number = ? WHERE name = ?",
                                    {following, counterName}, what, error)) {
    return fail();
  }
  if (!c.Commit(what, error)) return fail();
  std::sort(numbers.begin(), numbers.end());
  return numbers;
}

}  // namespace

std::optional<std::uint64_t> ProductionStore::NextNumber(const std::string& counter,
                                                         std::uint64_t max, StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot read the counter";
  QSqlQuery released(c.Database());
  if (!c.Run(released,
             "SELECT MIN(number) FROM otp_serials WHERE counter = ? AND state = 'released' AND "
             "number <= ?",
             {Q(counter), Big(max)}, what, error)) {
    return std::nullopt;
  }
  if (released.next() && !released.value(0).isNull()) return released.value(0).toULongLong();
  Counter found;
  bool exists = false;
  if (!ReadCounter(counter, found, exists, error) || !exists || found.exhausted ||
      found.next > max) {
    return std::nullopt;
  }
  return found.next;
}

std::optional<std::vector<std::uint64_t>> ProductionStore::ReserveBlock(
    const std::string& counter, std::size_t count, std::uint64_t max, const std::string& owner,
    const std::string& station, StoreError& error) {
  return TakeNumbers(*connection_, counter, count, max, Tag(owner, station, nullptr), error);
}

std::optional<std::uint64_t> ProductionStore::Reserve(const Attempt& unit, std::uint64_t max,
                                                      const std::string& owner, StoreError& error) {
  const auto numbers =
      TakeNumbers(*connection_, unit.counter, 1, max, Tag(owner, unit.station, &unit), error);
  // The counter gives no number that fits: no error of the store.
  if (!numbers || numbers->empty()) return std::nullopt;
  return numbers->front();
}

bool ProductionStore::ReturnNumbers(const std::string& counter,
                                    const std::vector<std::uint64_t>& numbers,
                                    const std::string& owner, SerialState state,
                                    StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot give numbers back";
  if (numbers.empty()) return true;
  if (!c.Begin(what, error)) return false;
  // A few statements for a whole block: the numbers listed, a few hundred at a time.
  constexpr std::size_t kAtOnce = 500;
  for (std::size_t from = 0; from < numbers.size(); from += kAtOnce) {
    QString list;
    for (std::size_t i = from; i < std::min(numbers.size(), from + kAtOnce); ++i)
      list += (list.isEmpty() ? "" : ",") + QString::number(numbers[i]);
    if (!c.Run(QString("UPDATE otp_serials SET state = ?, changed = ? WHERE counter = ? AND "
                       "state = 'reserved' AND COALESCE(owner, '') = ? AND number IN (%1)")
                   .arg(list),
               {Q(SerialStateName(state)), store::Now(), Q(counter), Q(owner)}, what, error)) {
      c.Rollback();
      return false;
    }
  }
  return c.Commit(what, error);
}

std::optional<std::vector<RecordStore::Leftover>> ProductionStore::Reserved(
    const std::vector<std::string>& owners, StoreError& error) {
  Connection& c = *connection_;
  std::vector<Leftover> rows;
  for (const std::string& owner : owners) {
    QSqlQuery query(c.Database());
    query.setForwardOnly(true);
    if (!c.Run(query,
               "SELECT counter, number, COALESCE(owner, ''), COALESCE(unit_id, ''), "
               "COALESCE(started, changed), COALESCE(port, ''), COALESCE(device, ''), "
               "COALESCE(model, ''), COALESCE(clock, ''), COALESCE(image, ''), COALESCE(crc32, "
               "0), COALESCE(job, ''), COALESCE(job_sum, ''), station FROM otp_serials WHERE "
               "state = 'reserved' AND COALESCE(owner, '') = ? ORDER BY counter, number",
               {Q(owner)}, "cannot read its reserved numbers", error)) {
      return std::nullopt;
    }
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
      u.station = text();
      row.held = u.unitId.empty() && !owner.empty();
      // A number of the first schema names no unit: it stands for one of its own.
      if (u.unitId.empty() && !row.held) {
        u.unitId = "leftover-" + u.counter + "-" + std::to_string(*u.serial);
      }
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

std::optional<std::vector<std::string>> ProductionStore::Holders(StoreError& error) {
  Connection& c = *connection_;
  QSqlQuery query(c.Database());
  const QString places = c.version >= 4 ? " UNION SELECT DISTINCT COALESCE(owner, '') FROM "
                                          "otp_lot_places WHERE state = 'held'"
                                        : "";
  if (!c.Run(
          query,
          "SELECT DISTINCT COALESCE(owner, '') FROM otp_serials WHERE state = 'reserved'" + places,
          {}, "cannot read its reserved numbers", error)) {
    return std::nullopt;
  }
  std::vector<std::string> owners;
  while (query.next())
    owners.push_back(query.value(0).toString().toStdString());
  return owners;
}

}  // namespace otp
