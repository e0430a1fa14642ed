// The batch report's figures, counted by the store: memory follows the page, not the
// rows.

#include <algorithm>

#include "chip/ChipTable.h"
#include "store/Connection.h"

namespace otp {

namespace {

// What a row was for its part, as SQL: its outcome, or for rows before outcomes what their
// result and verdict (or exit status) tell.
QString OutcomeOfRow(int version) {
  const QString verdict =
      version >= 2 ? "a.verdict"
                   : "CASE a.exit_status WHEN 4 THEN 'port' WHEN 5 THEN 'plan' ELSE '' END";
  const QString legacy =
      QString(
          "CASE WHEN a.result = 'pass' THEN 'pass' WHEN a.result = 'interrupted' THEN CASE "
          "WHEN a.serial_state = 'spoiled' THEN 'fail' ELSE 'stopped' END WHEN %1 = 'port' "
          "THEN 'port-problem' WHEN %1 = 'plan' THEN 'wrong-part' ELSE 'fail' END")
          .arg(verdict);
  return version >= 3 ? "COALESCE(a.outcome, " + legacy + ")" : legacy;
}

// Whether a row's unit wrote its part, as SQL: its own word, or for rows of earlier
// schemas what their outcome, number and failed block tell (as Attempt::Wrote does).
QString WroteOfRow(int version, const QString& outcome) {
  QString wrote = "(" + outcome + ") IN ('pass', 'fail') OR a.serial_state = 'spoiled'";
  if (version >= 2) wrote += " OR a.failed_block IS NOT NULL";
  if (version >= 5) wrote += " OR COALESCE(a.wrote, 0) = 1";
  return "(" + wrote + ")";
}

// Counts the rows that `where` selects by outcome and by whether they wrote their parts.
bool CountOutcomes(ProductionStore::Connection& c, const QString& outcome, const QString& wrote,
                   const QString& where, const QVariantList& values, UnitCounts& counts,
                   const char* what, StoreError& error) {
  QSqlQuery query(c.Database());
  query.setForwardOnly(true);
  if (!c.Run(query,
             QString("SELECT %1, CASE WHEN %2 THEN 1 ELSE 0 END, COUNT(*) FROM otp_attempts a %3 "
                     "GROUP BY %1, CASE WHEN %2 THEN 1 ELSE 0 END")
                 .arg(outcome, wrote, where),
             values, what, error)) {
    return false;
  }
  while (query.next()) {
    if (const auto named = OutcomeNamed(query.value(0).toString().toStdString()))
      counts.Add(*named, query.value(1).toInt() != 0, query.value(2).toInt());
  }
  return true;
}

}  // namespace

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
  // What each row was for its part: its outcome, or for rows before outcomes what their
  // result and verdict tell.
  const QString outcome = OutcomeOfRow(c.version);
  const QString pass = "(" + outcome + ") = 'pass'";
  const QString wrote = WroteOfRow(c.version, outcome);
  // Failed: written and not passed, whatever ended it.
  const QString fail = "(" + wrote + " AND (" + outcome + ") <> 'pass')";
  const QString unit = "(" + outcome + ") <> 'port-problem'";  // a port problem is no unit
  // Rows before the choice read the whole area.
  const QString reading = c.version >= 3 ? "COALESCE(a.reading, 'area')" : "'area'";
  QVariantList values;
  const QString where = store::Where(filter, c.version, values);
  BatchFigures f;
  // Every figure of one state of the store, read in one short transaction.
  if (!c.BeginRead(what, error)) return std::nullopt;
  struct Ending {
    ProductionStore::Connection& c;
    ~Ending() { c.Rollback(); }
  } ending{c};
  auto run = [&](QSqlQuery& query, const QString& sql) {
    query.setForwardOnly(true);
    return c.Run(query, sql, values, what, error);
  };

  QSqlQuery totals(c.Database());
  if (!run(totals,
           QString("SELECT COUNT(*), MIN(a.started), MAX(a.ended), "
                   "SUM(CASE WHEN a.serial_state = 'used' THEN 1 ELSE 0 END), "
                   "COUNT(DISTINCT CASE WHEN a.serial_state = 'spoiled' THEN a.serial END), "
                   "COUNT(DISTINCT CASE WHEN a.serial_state = 'released' AND EXISTS (SELECT 1 "
                   "FROM otp_serials s WHERE s.counter = %2 AND s.number = a.serial AND "
                   "s.state = 'released') THEN a.serial END) FROM otp_attempts a %1")
               .arg(where, counter)) ||
      !totals.next()) {
    return std::nullopt;
  }
  f.units = totals.value(0).toInt();
  f.first = totals.value(1).toString().toStdString();
  f.last = totals.value(2).toString().toStdString();
  f.usedNumbers = totals.value(3).toInt();
  f.spoiledNumbers = totals.value(4).toInt();
  f.releasedNumbers = totals.value(5).toInt();
  if (!CountOutcomes(c, outcome, wrote, where, values, f.counts, what, error)) return std::nullopt;
  // A port that could not be opened had no unit: it is counted apart.
  f.units -= f.counts.Of(UnitOutcome::kPortProblem);
  if (f.units == 0) return f;

  QSqlQuery readings(c.Database());
  if (!run(readings, QString("SELECT %1, SUM(CASE WHEN %2 THEN 1 ELSE 0 END) FROM otp_attempts a "
                             "%3 GROUP BY %1")
                         .arg(reading, unit, where))) {
    return std::nullopt;
  }
  while (readings.next()) {
    const auto named = ReadModeNamed(readings.value(0).toString().toStdString());
    if (named) f.readings[static_cast<std::size_t>(*named)] += readings.value(1).toInt();
  }

  QSqlQuery setups(c.Database());
  if (!run(setups,
           QString("SELECT %1, %2, a.model, a.clock, a.image, a.crc32, SUM(CASE WHEN %5 THEN "
                   "1 ELSE 0 END), COUNT(*) OVER (), %6 FROM otp_attempts a %3 GROUP BY %1, %2, "
                   "a.model, a.clock, a.image, a.crc32, %6 ORDER BY COUNT(*) DESC, "
                   "MIN(a.started) LIMIT %4")
               .arg(job, jobSum, where)
               .arg(BatchFigures::kListed)
               .arg(unit, reading))) {
    return std::nullopt;
  }
  while (setups.next()) {
    BatchFigures::Setup setup;
    setup.job = setups.value(0).toString().toStdString();
    setup.jobSum = setups.value(1).toString().toStdString();
    setup.model = setups.value(2).toString().toStdString();
    setup.clock = setups.value(3).toString().toStdString();
    setup.image = setups.value(4).toString().toStdString();
    setup.crc32 = static_cast<std::uint32_t>(setups.value(5).toLongLong());
    setup.reading =
        ReadModeNamed(setups.value(8).toString().toStdString()).value_or(ReadMode::kArea);
    setup.units = setups.value(6).toInt();
    f.setups.push_back(setup);
    f.setupCount = setups.value(7).toInt();
  }

  QSqlQuery ports(c.Database());
  if (!run(ports, QString("SELECT a.station, a.port, SUM(CASE WHEN %4 THEN 1 ELSE 0 END), "
                          "SUM(CASE WHEN %1 THEN 1 ELSE 0 END), SUM(CASE WHEN %2 THEN 1 ELSE 0 "
                          "END) FROM otp_attempts a %3 GROUP BY a.station, a.port")
                      .arg(pass, fail, where, unit))) {
    return std::nullopt;
  }
  while (ports.next()) {
    f.ports.push_back({ports.value(0).toString().toStdString(),
                       ports.value(1).toString().toStdString(), ports.value(2).toInt(),
                       ports.value(3).toInt(), ports.value(4).toInt()});
  }
  std::sort(f.ports.begin(), f.ports.end(), [](const auto& a, const auto& b) {
    if (a.Yield() != b.Yield()) return a.Yield() < b.Yield();
    return a.failed > b.failed;
  });

  // Reasons of the units that failed, or whose part was refused or not reached: by
  // catalogue number when the report had one (one reason whatever language it was
  // recorded in), else by text. A unit stopped, or a part set aside, is no failure.
  QSqlQuery reasons(c.Database());
  if (!run(reasons,
           QString("SELECT a.report_id, MIN(a.report_text), COUNT(*) FROM otp_attempts a %1 AND "
                   "(%2) IN ('fail', 'wrong-part', 'board-gone', 'port-problem') AND "
                   "a.report_text <> '' GROUP BY a.report_id, CASE WHEN a.report_id IS NULL "
                   "THEN a.report_text ELSE '' END ORDER BY COUNT(*) DESC, 2")
               .arg(where, outcome))) {
    return std::nullopt;
  }
  while (reasons.next()) {
    const int count = reasons.value(2).toInt();
    if (f.reasons.size() < 10) {
      BatchFigures::Reason reason;
      if (!reasons.value(0).isNull()) reason.id = reasons.value(0).toUInt();
      reason.text = reasons.value(1).toString().trimmed().toStdString();
      reason.count = count;
      f.reasons.push_back(std::move(reason));
    } else {
      f.otherReasons += count;
    }
  }

  QSqlQuery hours(c.Database());
  if (!run(hours, QString("SELECT substr(a.started, 1, 13), SUM(CASE WHEN %1 THEN 1 ELSE 0 END), "
                          "SUM(CASE WHEN %2 THEN 1 ELSE 0 END) FROM otp_attempts a %3 GROUP BY "
                          "substr(a.started, 1, 13) ORDER BY 1")
                      .arg(pass, fail, where))) {
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
                           "%3 AND %1 IS NOT NULL GROUP BY a.model, %1 / 256")
                       .arg(failedAt, where, fail))) {
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
    // Each number once (a released number may have been given out, and released, again),
    // and a released one only while it is free.
    if (!run(numbers,
             QString("SELECT DISTINCT a.serial FROM otp_attempts a %1 AND a.serial_state = '%2' "
                     "AND a.serial IS NOT NULL%4 ORDER BY a.serial LIMIT %3")
                 .arg(where, state)
                 .arg(BatchFigures::kListed)
                 .arg(QString(state) == "released"
                          ? QString(" AND EXISTS (SELECT 1 FROM otp_serials s WHERE s.counter = "
                                    "%1 AND s.number = a.serial AND s.state = 'released')")
                                .arg(counter)
                          : QString()))) {
      return std::nullopt;
    }
    while (numbers.next())
      list->push_back(numbers.value(0).toULongLong());
  }
  // The number each counter gives next: its lowest released number, else its next.
  QSqlQuery next(c.Database());
  if (!run(next, QString("SELECT n.counter, n.next_number, (SELECT MIN(s.number) FROM otp_serials "
                         "s WHERE s.counter = n.counter AND s.state = 'released') FROM (SELECT "
                         "DISTINCT %1 AS counter, c.next_number FROM "
                         "otp_attempts a JOIN otp_counters c ON c.name = %1 %2 AND a.serial IS "
                         "NOT NULL) n ORDER BY 1")
                     .arg(counter, where))) {
    return std::nullopt;
  }
  while (next.next()) {
    BatchFigures::NextFree free;
    free.counter = next.value(0).toString().toStdString();
    const qlonglong number = next.value(1).toLongLong();
    if (!next.value(2).isNull()) {
      free.next = next.value(2).toULongLong();
    } else if (number >= 0) {
      free.next = static_cast<std::uint64_t>(number);
    }
    f.nextFree.push_back(std::move(free));
  }
  return f;
}

std::optional<UnitCounts> ProductionStore::OutcomeCounts(const AttemptFilter& filter,
                                                         StoreError& error) {
  Connection& c = *connection_;
  QVariantList values;
  const QString where = store::Where(filter, c.version, values);
  const QString outcome = OutcomeOfRow(c.version);
  UnitCounts counts;
  if (!CountOutcomes(c, outcome, WroteOfRow(c.version, outcome), where, values, counts,
                     "cannot count the attempts", error)) {
    return std::nullopt;
  }
  return counts;
}

std::optional<std::vector<std::string>> ProductionStore::StationNames(StoreError& error) {
  Connection& c = *connection_;
  QSqlQuery query(c.Database());
  query.setForwardOnly(true);
  if (!c.Run(query, "SELECT DISTINCT station FROM otp_attempts ORDER BY station", {},
             "cannot read the stations", error)) {
    return std::nullopt;
  }
  std::vector<std::string> names;
  while (query.next())
    names.push_back(query.value(0).toString().toStdString());
  return names;
}

}  // namespace otp
