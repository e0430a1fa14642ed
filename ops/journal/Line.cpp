#include "ops/journal/Line.h"

#include <charconv>
#include <cstdio>

#include "core/Crc.h"
#include "core/Texts.h"

namespace otp {

namespace {

constexpr std::string_view kHeaderWord = "journal";
constexpr std::string_view kChecksumKey = " crc=";

struct StageName {
  JournalStage stage;
  const char* name;
};
constexpr StageName kStages[] = {{JournalStage::kBegun, "begun"},
                                 {JournalStage::kReserved, "reserved"},
                                 {JournalStage::kProgramming, "programming"},
                                 {JournalStage::kEnded, "ended"},
                                 {JournalStage::kConfirmed, "confirmed"}};

// Values are written with %XX for '%', blanks, control characters and '=': one line a
// unit, whatever its texts hold.
std::string Escape(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || c == '%' || c == '=' || byte == 0x7F) {
      char hex[4];
      std::snprintf(hex, sizeof(hex), "%%%02X", byte);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool Unescape(std::string_view text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexDigit(text[i + 1]);
    const int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

template <typename T>
bool ParseNumber(const std::string& text, T& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

// A field of a unit's line: its key, how it is written and how it is read back (false:
// a value this release does not know).
struct Field {
  const char* key;
  std::string (*write)(const Attempt&);
  bool (*read)(Attempt&, const std::string&);
};

template <std::string Attempt::*kMember>
constexpr Field Text(const char* key) {
  return {key, [](const Attempt& a) { return a.*kMember; },
          [](Attempt& a, const std::string& value) {
            a.*kMember = value;
            return true;
          }};
}

// An optional number: empty for none.
template <auto kMember>
constexpr Field Maybe(const char* key) {
  return {key,
          [](const Attempt& a) {
            const auto& value = a.*kMember;
            return value ? std::to_string(*value) : std::string();
          },
          [](Attempt& a, const std::string& value) {
            auto& field = a.*kMember;
            if (value.empty()) {
              field.reset();
              return true;
            }
            typename std::remove_reference_t<decltype(field)>::value_type number{};
            if (!ParseNumber(value, number)) return false;
            field = number;
            return true;
          }};
}

// Every field of a unit's line, in the order written: one table for writing and reading.
const Field kFields[] = {
    Text<&Attempt::unitId>("unit"),
    Text<&Attempt::started>("started"),
    Text<&Attempt::ended>("ended"),
    Text<&Attempt::station>("station"),
    Text<&Attempt::port>("port"),
    Text<&Attempt::device>("device"),
    Text<&Attempt::model>("model"),
    Text<&Attempt::clock>("clock"),
    Text<&Attempt::image>("image"),
    {"crc32", [](const Attempt& a) { return std::to_string(a.crc32); },
     [](Attempt& a, const std::string& v) { return ParseNumber(v, a.crc32); }},
    Text<&Attempt::job>("job"),
    Text<&Attempt::jobSum>("jobsum"),
    Text<&Attempt::counter>("counter"),
    Maybe<&Attempt::serial>("serial"),
    {"state",
     [](const Attempt& a) {
       return std::string(a.serialState ? SerialStateName(*a.serialState) : "");
     },
     [](Attempt& a, const std::string& v) {
       a.serialState = SerialStateNamed(v);
       return v.empty() || a.serialState.has_value();
     }},
    {"outcome", [](const Attempt& a) { return std::string(OutcomeName(a.outcome)); },
     [](Attempt& a, const std::string& v) {
       const auto outcome = OutcomeNamed(v);
       if (outcome) a.outcome = *outcome;
       return outcome.has_value();
     }},
    {"verdict", [](const Attempt& a) { return std::string(VerdictName(a.verdict)); },
     [](Attempt& a, const std::string& v) {
       const auto verdict = VerdictNamed(v.c_str());
       if (verdict) a.verdict = *verdict;
       return verdict.has_value();
     }},
    Text<&Attempt::lot>("lot"),
    Maybe<&Attempt::lotPlace>("place"),
    {"reading", [](const Attempt& a) { return std::string(ReadModeName(a.reading)); },
     [](Attempt& a, const std::string& v) {
       const auto reading = ReadModeNamed(v);
       if (reading) a.reading = *reading;
       return reading.has_value();
     }},
    Maybe<&Attempt::reportId>("report"),
    Text<&Attempt::reportText>("text"),
    Maybe<&Attempt::firstDifference>("difference"),
    Maybe<&Attempt::failedBlock>("block"),
    {"wrote", [](const Attempt& a) { return std::string(a.wrote ? "1" : "0"); },
     [](Attempt& a, const std::string& v) {
       a.wrote = v == "1";
       return v == "0" || v == "1";
     }},
    {"seconds", [](const Attempt& a) { return Decimal(a.seconds, 3); },
     [](Attempt& a, const std::string& v) { return ParseNumber(v, a.seconds); }},
};
constexpr std::size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

// The field's place in kFields; kFieldCount for none.
std::size_t FieldIndex(std::string_view key) {
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    if (key == kFields[f].key) return f;
  }
  return kFieldCount;
}

// Fields that journals of earlier releases lack: their lines are read without them.
bool LaterField(std::string_view key) {
  return key == "place" || key == "wrote";
}

std::string Checksummed(std::string text) {
  char crc[16];
  std::snprintf(crc, sizeof(crc), "%08X", Crc32c(text));
  return text + std::string(kChecksumKey) + crc + "\n";
}

// Splits `text` at single blanks.
std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t from = 0;
  while (from <= text.size()) {
    const std::size_t blank = std::min(text.find(' ', from), text.size());
    words.push_back(text.substr(from, blank - from));
    from = blank + 1;
  }
  return words;
}

ReadLine Damaged(LineDamage::Why why, std::string field = {}) {
  ReadLine read;
  read.kind = ReadLine::Kind::kDamaged;
  read.damage.why = why;
  read.damage.field = std::move(field);
  return read;
}

}  // namespace

std::string JournalHeader() {
  return Checksummed(std::string(kHeaderWord) + " format=" + std::to_string(kJournalFormat) +
                     " end");
}

std::string JournalLine(JournalStage stage, const Attempt& unit) {
  std::string line;
  for (const StageName& s : kStages) {
    if (s.stage == stage) line = s.name;
  }
  for (const Field& field : kFields) {
    line += ' ';
    line += field.key;
    line += '=';
    line += Escape(field.write(unit));
  }
  return Checksummed(line + " end");
}

ReadLine ReadJournalLine(std::string_view line, bool checksummed) {
  std::string_view text = line;
  if (checksummed) {
    const std::size_t at = line.rfind(kChecksumKey);
    if (at == std::string_view::npos) {
      // A line that stops before its checksum was cut short; one without it is no line
      // of this journal's format.
      return Damaged(line.find(" end") == std::string_view::npos ? LineDamage::Why::kTorn
                                                                 : LineDamage::Why::kNoChecksum);
    }
    const std::string_view digits = line.substr(at + kChecksumKey.size());
    std::uint32_t crc = 0;
    const auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), crc, 16);
    text = line.substr(0, at);
    if (digits.size() != 8 || error != std::errc() || end != digits.data() + digits.size()) {
      return Damaged(LineDamage::Why::kTorn);
    }
    if (crc != Crc32c(text)) return Damaged(LineDamage::Why::kChecksum);
  }
  const std::vector<std::string_view> words = Words(text);
  if (words.size() < 2 || words.back() != "end") return Damaged(LineDamage::Why::kTorn);
  ReadLine read;
  if (words.front() == kHeaderWord) {
    if (words.size() != 3 || words[1].substr(0, 7) != "format=" ||
        !ParseNumber(std::string(words[1].substr(7)), read.format)) {
      return Damaged(LineDamage::Why::kBadField, "format");
    }
    read.kind = ReadLine::Kind::kHeader;
    return read;
  }
  bool known = false;
  for (const StageName& s : kStages) {
    if (words.front() == s.name) {
      read.entry.stage = s.stage;
      known = true;
    }
  }
  if (!known) return Damaged(LineDamage::Why::kUnknownKind);
  Attempt& u = read.entry.unit;
  bool seen[kFieldCount] = {};
  std::string result;  // lines of the release before outcomes
  bool hasResult = false;
  std::string counter;
  std::optional<std::uint64_t> serial;
  std::optional<LineDamage> damage;
  for (std::size_t w = 1; w + 1 < words.size(); ++w) {
    const std::string_view word = words[w];
    const std::size_t equals = word.find('=');
    const std::string key(word.substr(0, equals));
    std::string value;
    if (equals == std::string_view::npos || !Unescape(word.substr(equals + 1), value)) {
      if (!damage) damage = LineDamage{LineDamage::Why::kBadField, key, 0};
      continue;
    }
    if (key == "counter") counter = value;
    if (key == "serial") {
      std::uint64_t number = 0;
      if (ParseNumber(value, number)) serial = number;
    }
    if (!checksummed && key == "result" && !hasResult) {
      result = value;
      hasResult = true;
      continue;
    }
    const std::size_t index = FieldIndex(key);
    if (index == kFieldCount || seen[index]) {
      if (!damage) damage = LineDamage{LineDamage::Why::kUnknownField, key, 0};
      continue;
    }
    seen[index] = true;
    if (!kFields[index].read(u, value) && !damage) {
      damage = LineDamage{LineDamage::Why::kBadField, key, 0};
    }
  }
  if (serial) read.number = std::make_pair(counter, *serial);
  if (damage) {
    ReadLine bad = Damaged(damage->why, damage->field);
    bad.number = read.number;
    return bad;
  }
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    const std::string key = kFields[f].key;
    // A line of this format carries every field; an earlier release's lacks those it
    // did not know, and those before outcomes carry a result instead.
    const bool optional = !checksummed && (LaterField(key) || key == "lot" || key == "reading" ||
                                           (key == "outcome" && hasResult));
    if (!seen[f] && !optional) {
      ReadLine bad = Damaged(LineDamage::Why::kMissingField, key);
      bad.number = read.number;
      return bad;
    }
  }
  if (!seen[FieldIndex("outcome")] && hasResult) {
    if (result != "pass" && result != "fail" && result != "interrupted") {
      return Damaged(LineDamage::Why::kBadField, "result");
    }
    u.outcome = LegacyOutcome(result, u.verdict, u.serialState);
  }
  if (u.unitId.empty()) return Damaged(LineDamage::Why::kBadField, "unit");
  read.kind = ReadLine::Kind::kUnit;
  return read;
}

void JournalReader::Damaged(const LineDamage& why) {
  if (!contents_.damage) contents_.damage = JournalDamage{lines_, why};
}

void JournalReader::TakeOverlong() {
  ++lines_;
  Damaged(LineDamage{LineDamage::Why::kTorn, {}, 0});
}

void JournalReader::Take(std::string_view line, bool complete) {
  ++lines_;
  if (lines_ == 1) {
    // A journal of this release begins with its header; one of an earlier release with
    // a unit's line, and its lines carry no checksum.
    checksummed_ = line.substr(0, kHeaderWord.size() + 1) == std::string(kHeaderWord) + " ";
  }
  const ReadLine read = ReadJournalLine(line, checksummed_);
  if (read.number) contents_.numbers.insert(*read.number);
  if (!complete) {
    Damaged(LineDamage{LineDamage::Why::kTorn, {}, 0});
    return;
  }
  switch (read.kind) {
    case ReadLine::Kind::kDamaged:
      Damaged(read.damage);
      return;
    case ReadLine::Kind::kHeader:
      if (lines_ != 1) {
        Damaged(LineDamage{LineDamage::Why::kUnknownKind, {}, 0});
      } else if (read.format > kJournalFormat) {
        Damaged(LineDamage{LineDamage::Why::kNewer, {}, read.format});
      }
      return;
    case ReadLine::Kind::kUnit: {
      const std::string& id = read.entry.unit.unitId;
      if (!units_.count(id)) order_.push_back(id);
      units_[id] = read.entry;
      return;
    }
  }
}

JournalContents JournalReader::Finish() {
  JournalContents contents = std::move(contents_);
  if (!contents.damage) {
    for (const std::string& id : order_) {
      if (units_[id].stage != JournalStage::kConfirmed) contents.open.push_back(units_[id]);
    }
  }
  return contents;
}

std::string LineDamageText(const JournalDamage& damage, Language language) {
  const std::string line = std::to_string(damage.line);
  switch (damage.why.why) {
    case LineDamage::Why::kNone:
      break;
    case LineDamage::Why::kChecksum:
      return Tr(language, "line %1: its checksum does not match its text", {line});
    case LineDamage::Why::kNoChecksum:
      return Tr(language, "line %1: it carries no checksum", {line});
    case LineDamage::Why::kTorn:
      return Tr(language, "line %1: it is cut short", {line});
    case LineDamage::Why::kUnknownKind:
      return Tr(language, "line %1: it is no line of a journal", {line});
    case LineDamage::Why::kBadField:
      return Tr(language, "line %1: the field %2 holds a value this release does not know",
                {line, damage.why.field});
    case LineDamage::Why::kUnknownField:
      return Tr(language, "line %1: the field %2 is unknown or given twice",
                {line, damage.why.field});
    case LineDamage::Why::kMissingField:
      return Tr(language, "line %1: the field %2 is missing", {line, damage.why.field});
    case LineDamage::Why::kNewer:
      return Tr(language, "line %1: written by a newer release (journal format %2)",
                {line, std::to_string(damage.why.format)});
  }
  return {};
}

}  // namespace otp
