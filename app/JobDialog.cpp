#include "app/JobDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <charconv>

#include "core/Texts.h"

namespace otp {

namespace {

QString Q(const std::string& text) {
  return QString::fromStdString(text);
}

std::optional<std::uint64_t> Number(const QString& text) {
  const std::string digits = text.trimmed().toStdString();
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
      value >= (std::uint64_t{1} << 63)) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

JobDialog::JobDialog(Language language, QWidget* parent) : QDialog(parent), language_(language) {
  setObjectName("SaveJob");
  setWindowTitle(Q(Tr(language, "Save Job")));
  auto* form = new QFormLayout(this);
  auto field = [&](const char* name, const char* label, const QString& text = {}) {
    auto* edit = new QLineEdit(text, this);
    edit->setObjectName(name);
    form->addRow(Q(Tr(language, label)), edit);
    return edit;
  };
  name_ = field("name", "Name");
  serial_ = field("serial", "Serial number (ADDR:FORMAT, empty for none)");
  serial_->setPlaceholderText("0xFFF0:be32");
  start_ = field("start", "First number", "1");
  step_ = field("step", "Step", "1");
  counter_ = field("counter", "Counter (empty: the job's name)");
  note_ = field("note", "Note");
  resume_ =
      new QCheckBox(Q(Tr(language, "Parts that hold part of the image may be finished")), this);
  resume_->setObjectName("resume");
  confirm_ = new QCheckBox(
      Q(Tr(language, "The operator types the job's checksum before the first unit")), this);
  confirm_->setObjectName("confirm");
  form->addRow(resume_);
  form->addRow(confirm_);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  form->addRow(buttons);
  setMinimumWidth(520);
}

bool JobDialog::Fill(JobRequest& request, std::string& error) const {
  request.name = name_->text().trimmed().toStdString();
  request.serial = serial_->text().trimmed().toStdString();
  request.counter = counter_->text().trimmed().toStdString();
  request.note = note_->text().toStdString();
  request.resume = resume_->isChecked();
  request.confirm = confirm_->isChecked();
  const auto start = Number(start_->text());
  const auto step = Number(step_->text());
  if (!start || !step || *step == 0) {
    error = Tr(language_,
               "the first number and the step are whole numbers below 2^63, the "
               "step above 0");
    return false;
  }
  request.serialStart = *start;
  request.serialStep = *step;
  return true;
}

}  // namespace otp
