// Lots: a number of parts to pass, its parts places that stations take in the store's own
// transaction, as serial numbers are taken.

#include "store/Connection.h"

namespace otp {

using store::Big;
using store::Q;

namespace {

// Reads lot `name` into `lot` (its quantity, job and places by state); `found` tells
// whether there is one.
bool ReadLotRow(ProductionStore::Connection& c, const std::string& name, Lot& lot, bool& found,
                const char* what, StoreError& error) {
  found = false;
  if (c.version < 3) return true;  // no lots before schema 3
  QSqlQuery query(c.Database());
  // A store of the schema before places counts the lot's passed units.
  const QString sql =
      c.version >= 4
          ? "SELECT l.quantity, l.job, (SELECT COUNT(*) FROM otp_lot_places p WHERE p.lot = "
            "l.name AND p.state = 'passed'), (SELECT COUNT(*) FROM otp_lot_places p WHERE p.lot "
            "= l.name AND p.state = 'held'), (SELECT COUNT(*) FROM otp_lot_places p WHERE p.lot "
            "= l.name AND p.state = 'unknown') FROM otp_lots l WHERE l.name = ?"
          : "SELECT l.quantity, l.job, (SELECT COUNT(*) FROM otp_attempts a WHERE a.lot = l.name "
            "AND a.outcome = 'pass'), 0, 0 FROM otp_lots l WHERE l.name = ?";
  if (!c.Run(query, sql, {Q(name)}, what, error)) return false;
  found = query.next();
  if (!found) return true;
  lot.name = name;
  lot.quantity = query.value(0).toULongLong();
  lot.job = query.value(1).toString().toStdString();
  lot.passed = query.value(2).toInt();
  lot.held = query.value(3).toInt();
  lot.unknown = query.value(4).toInt();
  return true;
}

QString NumberList(const std::vector<std::uint64_t>& numbers, std::size_t from, std::size_t to) {
  QString list;
  for (std::size_t i = from; i < to; ++i)
    list += (list.isEmpty() ? "" : ",") + QString::number(numbers[i]);
  return list;
}

}  // namespace

bool ProductionStore::EnsureLot(const std::string& name, std::uint64_t quantity,
                                const std::string& job, Lot& lot, StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot make the lot";
  if (!c.Run("INSERT INTO otp_lots (name, quantity, job, created) VALUES (?, ?, ?, ?) ON "
             "CONFLICT (name) DO NOTHING",
             {Q(name), Big(quantity), Q(job), store::Now()}, what, error)) {
    return false;
  }
  bool found = false;
  if (!ReadLotRow(c, name, lot, found, what, error)) return false;
  if (!found) {
    error = c.Refusal(what, "the lot " + name + " cannot be read back");
    return false;
  }
  return true;
}

bool ProductionStore::ReadLot(const std::string& name, Lot& lot, bool& found, StoreError& error) {
  return ReadLotRow(*connection_, name, lot, found, "cannot read the lot", error);
}

std::optional<std::vector<std::uint64_t>> ProductionStore::TakePlaces(const std::string& name,
                                                                      std::size_t count,
                                                                      const std::string& owner,
                                                                      const std::string& station,
                                                                      StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot take a place of the lot";
  auto fail = [&]() -> std::optional<std::vector<std::uint64_t>> {
    c.Rollback();
    return std::nullopt;
  };
  if (!c.Begin(what, error)) return std::nullopt;
  // Every station that takes places locks the lot first: one at a time counts its room.
  QSqlQuery lot(c.Database());
  if (!c.Run(lot,
             c.place.postgres
                 ? "SELECT quantity, next_place FROM otp_lots WHERE name = ? FOR UPDATE"
                 : "SELECT quantity, next_place FROM otp_lots WHERE name = ?",
             {Q(name)}, what, error)) {
    return fail();
  }
  if (!lot.next()) {
    error = c.Refusal(what, "there is no lot " + name);
    return fail();
  }
  const std::uint64_t quantity = lot.value(0).toULongLong();
  std::uint64_t next = lot.value(1).toULongLong();
  lot.finish();
  std::vector<std::uint64_t> places;
  // Places given back first, the lowest first.
  QSqlQuery given(c.Database());
  if (!c.Run(given,
             QString("SELECT place FROM otp_lot_places WHERE lot = ? AND state = 'free' ORDER BY "
                     "place LIMIT %1")
                 .arg(count),
             {Q(name)}, what, error)) {
    return fail();
  }
  while (given.next())
    places.push_back(given.value(0).toULongLong());
  given.finish();
  if (!places.empty() &&
      !c.Run(QString("UPDATE otp_lot_places SET state = 'held', owner = ?, station = ?, unit_id = "
                     "NULL, changed = ? WHERE lot = ? AND state = 'free' AND place IN (%1)")
                 .arg(NumberList(places, 0, places.size())),
             {Q(owner), Q(station), store::Now(), Q(name)}, what, error)) {
    return fail();
  }
  // Then new places, while the quantity has room: a place is a row, its number at most
  // the quantity, so no more than the quantity can ever pass.
  const std::uint64_t fresh =
      next <= quantity ? std::min<std::uint64_t>(count - places.size(), quantity - next + 1) : 0;
  if (fresh > 0) {
    if (!c.Run("WITH RECURSIVE fresh(place, k) AS (SELECT CAST(? AS BIGINT), 1 UNION ALL SELECT "
               "place + 1, k + 1 FROM fresh WHERE k < ?) INSERT INTO otp_lot_places (lot, place, "
               "state, owner, station, changed) SELECT ?, place, 'held', ?, ?, ? FROM fresh",
               {Big(next), Big(fresh), Q(name), Q(owner), Q(station), store::Now()}, what, error) ||
        !c.Run("UPDATE otp_lots SET next_place = ? WHERE name = ?", {Big(next + fresh), Q(name)},
               what, error)) {
      return fail();
    }
    for (std::uint64_t i = 0; i < fresh; ++i)
      places.push_back(next + i);
    next += fresh;
  }
  if (!c.Commit(what, error)) return fail();
  return places;
}

bool ProductionStore::ReturnPlaces(const std::string& name,
                                   const std::vector<std::uint64_t>& places,
                                   const std::string& owner, PlaceState state, StoreError& error) {
  Connection& c = *connection_;
  const char* what = "cannot give places of the lot back";
  if (places.empty()) return true;
  if (!c.Begin(what, error)) return false;
  constexpr std::size_t kAtOnce = 500;
  // A free place belongs to no station; an unknown one stays its station's, for its own
  // word (its journal) to settle.
  const bool freed = state == PlaceState::kFree;
  for (std::size_t from = 0; from < places.size(); from += kAtOnce) {
    if (!c.Run(QString("UPDATE otp_lot_places SET state = ?, owner = %1, unit_id = NULL, changed "
                       "= ? WHERE lot = ? AND COALESCE(owner, '') = ? AND state IN ('held', "
                       "'unknown') AND place IN (%2)")
                   .arg(freed ? "NULL" : "owner",
                        NumberList(places, from, std::min(places.size(), from + kAtOnce))),
               {Q(PlaceStateName(state)), store::Now(), Q(name), Q(owner)}, what, error)) {
      c.Rollback();
      return false;
    }
  }
  return c.Commit(what, error);
}

std::optional<std::vector<HeldPlace>> ProductionStore::HeldPlaces(
    const std::vector<std::string>& owners, StoreError& error) {
  Connection& c = *connection_;
  std::vector<HeldPlace> held;
  if (c.version < 4) return held;
  for (const std::string& owner : owners) {
    QSqlQuery query(c.Database());
    query.setForwardOnly(true);
    if (!c.Run(query,
               "SELECT lot, place, state FROM otp_lot_places WHERE COALESCE(owner, '') = ? AND "
               "state IN ('held', 'unknown') ORDER BY lot, place",
               {Q(owner)}, "cannot read the places it holds", error)) {
      return std::nullopt;
    }
    while (query.next()) {
      held.push_back({query.value(0).toString().toStdString(), query.value(1).toULongLong(), owner,
                      PlaceStateNamed(query.value(2).toString().toStdString())
                          .value_or(PlaceState::kUnknown)});
    }
  }
  return held;
}

}  // namespace otp
