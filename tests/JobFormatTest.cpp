#include <gtest/gtest.h>

#include "core/Sha256.h"
#include "ops/job/Job.h"
#include "ops/Setup.h"

namespace otp {
namespace {

// A job as `job create` makes it, in memory.
Job MadeJob() {
  Job job;
  job.name = "LINE-2";
  job.model = ModelNamed("KT47C150");
  job.rate = 2;
  job.image.fill(0xFF);
  job.image[0xC000] = 0x12;
  job.image[0xC001] = 0x34;
  SerialRuleError why{};
  job.rule = ParseSerialRule("0xFFF0:be16", why);
  job.counter = "LINE-2";
  job.serialStart = 500;
  job.note = "first batch\nsecond line";
  job.lot = "L-1";
  job.quantity = 10;
  job.crc32 = AreaCrc(job.image, *job.model);
  return job;
}

// The job's text with its checksum made right again: an edit that the SHA-256 alone
// cannot see.
std::string Resigned(std::string text) {
  const auto at = text.find("Checksum=");
  const auto end = text.find('\n', at);
  text.erase(at, end - at + 1);
  return text.substr(0, at) + "Checksum=" + Sha256Hex(text) + "\n" + text.substr(at);
}

// A job's text reads back to the same job; every kind of damage or edit is named for
// what it is, and CR LF line ends are read as LF.
TEST(JobFormat, ReadsBackAndNamesEveryProblem) {
  Job job = MadeJob();
  const std::string text = JobText(job);
  Job read;
  ASSERT_EQ(ParseJob(text, read).kind, JobProblem::Kind::kNone);
  EXPECT_EQ(read.name, job.name);
  EXPECT_EQ(read.note, job.note);
  EXPECT_EQ(read.quantity, 10u);
  EXPECT_EQ(read.rule->Text(), "0xFFF0:be16");
  EXPECT_EQ(read.image, job.image);
  EXPECT_EQ(read.checksum, job.checksum);
  std::string crlf;
  for (const char c : text)
    crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(ParseJob(crlf, read).kind, JobProblem::Kind::kNone);

  auto replaced = [&text](const std::string& from, const std::string& to) {
    std::string changed = text;
    const auto at = changed.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) changed.replace(at, from.size(), to);
    return changed;
  };
  struct Case {
    const char* what;
    std::string text;
    JobProblem::Kind kind;
  };
  const Case cases[] = {
      {"nothing", "", JobProblem::Kind::kNotAJob},
      {"another file", "[Recent]\nCPU=1\n", JobProblem::Kind::kNotAJob},
      {"a newer format", Resigned(replaced("Format=2", "Format=3")), JobProblem::Kind::kNewerFormat},
      {"no checksum", replaced("Checksum=", "Sum="), JobProblem::Kind::kNoChecksum},
      {"a field edited", replaced("Name=LINE-2", "Name=LINE-3"), JobProblem::Kind::kFieldChanged},
      {"a field edited and the sum made again", Resigned(replaced("Model=KT47C150", "Model=KT99")),
       JobProblem::Kind::kBadField},
      {"an unknown field", Resigned(replaced("Name=LINE-2", "Name=LINE-2\nColour=red")),
       JobProblem::Kind::kUnknownField},
      {"a field twice", Resigned(replaced("Name=LINE-2", "Name=LINE-2\nName=LINE-9")),
       JobProblem::Kind::kTwice},
      {"the serial number on the image", Resigned(replaced("Serial=0xFFF0:be16", "Serial=0xC000:be16")),
       JobProblem::Kind::kSerial},
      {"a first number too large", Resigned(replaced("SerialStart=500", "SerialStart=70000")),
       JobProblem::Kind::kSerial},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const JobProblem problem = ParseJob(c.text, read);
    EXPECT_EQ(problem.kind, c.kind);
    EXPECT_FALSE(JobProblemText(problem, "job.otpjob", Language::kEnglish).empty());
    EXPECT_FALSE(JobProblemText(problem, "job.otpjob", Language::kJapanese).empty());
  }
  // An image line that is no S-record any more, and a CRC-32 field that says another
  // image than the lines hold.
  const std::size_t image = text.find("[Image]");
  std::string changedImage = text;
  const std::size_t record = changedImage.find("S1", image);
  changedImage[record + 10] = changedImage[record + 10] == '0' ? '1' : '0';
  EXPECT_EQ(ParseJob(Resigned(changedImage), read).kind, JobProblem::Kind::kBadImage);
  const std::size_t crc = text.find("CRC32=0x") + 8;
  std::string changedCrc = text;
  changedCrc[crc] = changedCrc[crc] == '0' ? '1' : '0';
  EXPECT_EQ(ParseJob(Resigned(changedCrc), read).kind, JobProblem::Kind::kImageChanged);
}

}  // namespace
}  // namespace otp
