#include "ops/Notes.h"

#include "ops/production/RunTypes.h"

#include <charconv>

#include "core/Texts.h"
#include "core/Utf8Path.h"
#include "ops/Messages.h"

namespace otp {

std::string Note::Text(std::string_view name) const {
  for (const NoteArg& arg : args) {
    if (arg.name == name) return arg.text;
  }
  return {};
}

std::optional<long long> Note::Number(std::string_view name) const {
  for (const NoteArg& arg : args) {
    if (arg.name == name) return arg.number;
  }
  return std::nullopt;
}

Note& Note::Add(std::string name, std::string text) {
  args.push_back({std::move(name), std::move(text), std::nullopt});
  return *this;
}

Note& Note::Add(std::string name, long long number) {
  args.push_back({std::move(name), std::to_string(number), number});
  return *this;
}

Note& Note::Flag(std::string name, bool value) {
  args.push_back({std::move(name), value ? "true" : "false", value ? 1 : 0, true});
  return *this;
}

const char* RecordPlaceName(RecordPlace place) {
  switch (place) {
    case RecordPlace::kStored:
      return "stored";
    case RecordPlace::kJournal:
      return "journal";
    case RecordPlace::kRefused:
      return "refused";
    case RecordPlace::kNowhere:
      return "nowhere";
    case RecordPlace::kNone:
      return "none";
  }
  return "none";
}

const char* NoteKey(NoteId id) {
  switch (id) {
    case NoteId::kJournalSkipped:
      return "skipped";
    case NoteId::kJournalSetAside:
      return "setAside";
    case NoteId::kJournalDamaged:
      return "damaged";
    case NoteId::kUnitReplayed:
    case NoteId::kUnitStopped:
    case NoteId::kUnitGuessed:
      return "replayed";
    case NoteId::kNumbersSettled:
      return "settled";
    case NoteId::kNewCounter:
      return "counter";
    case NoteId::kStoreFailed:
    case NoteId::kJournalFailed:
    case NoteId::kSerialRule:
    case NoteId::kLotComplete:
    case NoteId::kCounterStart:
    case NoteId::kCounterStep:
    case NoteId::kCounterFull:
      return "cannotStart";
    case NoteId::kNoNumber:
      return "noNumber";
    case NoteId::kNotRecorded:
      return "notRecorded";
    case NoteId::kJournalWriteFailed:
      return "journalFailed";
    case NoteId::kRecordRefused:
      return "refused";
    case NoteId::kRoundLotComplete:
      return "lot";
    case NoteId::kBlockSpent:
    case NoteId::kPlacesSpent:
    case NoteId::kNumbersExhausted:
    case NoteId::kJournalStopped:
      return "stops";
    case NoteId::kRecordUnsaved:
      return "unsaved";
    case NoteId::kRecordWaiting:
      return "waiting";
  }
  return "note";
}

NoteWeight WeightOf(NoteId id) {
  switch (id) {
    case NoteId::kUnitReplayed:
    case NoteId::kUnitStopped:
    case NoteId::kUnitGuessed:
    case NoteId::kNumbersSettled:
    case NoteId::kNewCounter:
    case NoteId::kRoundLotComplete:
      return NoteWeight::kInfo;
    case NoteId::kStoreFailed:
    case NoteId::kJournalFailed:
    case NoteId::kSerialRule:
    case NoteId::kLotComplete:
    case NoteId::kCounterStart:
    case NoteId::kCounterStep:
    case NoteId::kCounterFull:
    case NoteId::kBlockSpent:
    case NoteId::kPlacesSpent:
    case NoteId::kNumbersExhausted:
    case NoteId::kJournalStopped:
      return NoteWeight::kProblem;
    default:
      return NoteWeight::kWarning;
  }
}

namespace {

std::string Serial(const Note& note) {
  const std::string serial = note.Text("serial");
  return serial.empty() ? "-" : serial;
}

std::string OutcomeOfNote(const Note& note, Language language) {
  const auto outcome = OutcomeNamed(note.Text("outcome"));
  return outcome ? OutcomeWord(*outcome, language) : note.Text("outcome");
}

}  // namespace

std::string NoteText(const Note& n, Language l) {
  switch (n.id) {
    case NoteId::kJournalSkipped: {
      const std::string why = n.Text("why");
      Journal::Skipped skipped{PathFromUtf8(n.Text("file")),
                               why == "not-a-file"  ? Journal::Skipped::Why::kNotAFile
                               : why == "too-large" ? Journal::Skipped::Why::kTooLarge
                                                    : Journal::Skipped::Why::kUnreadable};
      return SkippedJournalText(skipped, l);
    }
    case NoteId::kJournalSetAside: {
      const std::string aside = n.Text("aside");
      return SetAsideText(PathFromUtf8(aside.empty() ? n.Text("file") : aside),
                          static_cast<std::size_t>(n.Number("units").value_or(0)), l) +
             " (" + n.Text("reason") + ")";
    }
    case NoteId::kJournalDamaged: {
      JournalDamage damage;
      damage.line = static_cast<std::size_t>(n.Number("line").value_or(0));
      damage.why.why = static_cast<LineDamage::Why>(n.Number("why").value_or(0));
      damage.why.field = n.Text("field");
      damage.why.format = static_cast<int>(n.Number("format").value_or(0));
      std::vector<std::uint64_t> spoiled;
      const std::string list = n.Text("numbers");
      for (std::size_t at = 0; at < list.size();) {
        const std::size_t comma = std::min(list.find(',', at), list.size());
        std::uint64_t number = 0;
        std::from_chars(list.data() + at, list.data() + comma, number);
        spoiled.push_back(number);
        at = comma + 1;
      }
      return DamagedJournalText(PathFromUtf8(n.Text("file")), PathFromUtf8(n.Text("aside")), damage,
                                spoiled, l);
    }
    case NoteId::kUnitReplayed:
      return Tr(l, "a unit on %1 (serial %2) waited in the journal: recorded as %3",
                {n.Text("port"), Serial(n), OutcomeOfNote(n, l)});
    case NoteId::kUnitStopped:
      return Tr(l,
                "a unit on %1 (serial %2) stopped with its station: recorded as %3, its number %4",
                {n.Text("port"), Serial(n), OutcomeOfNote(n, l), n.Text("serialState")});
    case NoteId::kUnitGuessed:
      return Tr(l,
                "a unit of %1 on %2 (serial %3) was left by a station that is gone: recorded "
                "as %4 until its station says more, its number %5",
                {n.Text("station"), n.Text("port"), Serial(n), OutcomeOfNote(n, l),
                 n.Text("serialState")});
    case NoteId::kNumbersSettled:
      return Tr(l, "numbers that stopped stations held: %1 given back, %2 spoiled",
                {n.Text("released"), n.Text("spoiled")});
    case NoteId::kNewCounter:
      return Tr(l, "a new counter %1: from %2 in steps of %3",
                {n.Text("counter"), n.Text("next"), n.Text("step")});
    case NoteId::kStoreFailed:
      return Tr(l, "the production store: %1", {n.Text("detail")});
    case NoteId::kJournalFailed:
      return Tr(l, "the journal of the production store: %1", {n.Text("detail")});
    case NoteId::kSerialRule:
      return n.Text("detail");
    case NoteId::kLotComplete:
      return Tr(l, "the lot %1 is complete: %2 of %3 passed; nothing burned",
                {n.Text("lot"), n.Text("passed"), n.Text("quantity")});
    case NoteId::kCounterStart:
      return Tr(l,
                "the counter %1 exists and began at %2: its next number is %3, its step %4; "
                "this run asks for another first number (leave it out, or name another counter)",
                {n.Text("counter"), n.Text("start"), n.Text("next"), n.Text("step")});
    case NoteId::kCounterStep:
      return Tr(l,
                "the counter %1 exists with step %2: its next number is %3; this run asks for "
                "another step (leave it out, or name another counter)",
                {n.Text("counter"), n.Text("step"), n.Text("next")});
    case NoteId::kCounterFull:
      return Tr(l, "the counter %1 has no number left that fits %2",
                {n.Text("counter"), n.Text("rule")});
    case NoteId::kNoNumber:
      return Tr(l, "no serial number for this unit: nothing burned");
    case NoteId::kNotRecorded:
      return Tr(l,
                "neither the journal (%1) nor the store (%2) holds this unit: it is tried "
                "again with the next one; note it down",
                {n.Text("journalError"), n.Text("storeError")});
    case NoteId::kJournalWriteFailed:
      return Tr(l, "the journal could not be written (%1): the unit went to the store directly",
                {n.Text("journalError")});
    case NoteId::kRecordRefused:
      return Tr(l,
                "the store refused the unit on %1 (serial %2, %3): %4; it is kept in the "
                "journal's set-aside file",
                {n.Text("port"), Serial(n), OutcomeOfNote(n, l), n.Text("reason")});
    case NoteId::kRoundLotComplete:
      return Tr(l, "the lot %1 is complete: %2 of %3 passed",
                {n.Text("name"), n.Text("passed"), n.Text("quantity")});
    case NoteId::kBlockSpent: {
      std::string text = Tr(l,
                            "no serial number is left in the block and the store is away (%1): "
                            "the station stops",
                            {n.Text("storeError")});
      if (!n.Text("waiting").empty())
        text += "\n" + Tr(l, "waiting in the journal: %1", {n.Text("waiting")});
      return text;
    }
    case NoteId::kPlacesSpent: {
      std::string text = Tr(l,
                            "no place of the lot %1 is left in the block and the store is away "
                            "(%2): the station stops",
                            {n.Text("lot"), n.Text("storeError")});
      if (!n.Text("waiting").empty())
        text += "\n" + Tr(l, "waiting in the journal: %1", {n.Text("waiting")});
      return text;
    }
    case NoteId::kNumbersExhausted:
      return Tr(l, "the counter %1 has no number left that fits %2: nothing burned",
                {n.Text("counter"), n.Text("rule")});
    case NoteId::kJournalStopped:
      return Tr(l, "the journal of the production store: %1", {n.Text("journalError")});
    case NoteId::kRecordUnsaved:
      return Tr(l,
                "NOT RECORDED: the unit on %1 (serial %2, %3) is held by neither the journal "
                "nor the store; note it down",
                {n.Text("port"), Serial(n), OutcomeOfNote(n, l)});
    case NoteId::kRecordWaiting:
      return Tr(l, "the unit on %1 (serial %2, %3) waits in the journal %4",
                {n.Text("port"), Serial(n), OutcomeOfNote(n, l), n.Text("folder")});
  }
  return {};
}

}  // namespace otp
