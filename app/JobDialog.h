#pragma once

#include <QDialog>

#include "core/Catalogue.h"
#include "ops/job/Job.h"

class QCheckBox;
class QLineEdit;

namespace otp {

/// File > Save Job...: what the engineer adds to the window's choices to make a job: its
/// name, the serial rule, whether parts may be finished, whether the operator confirms
/// it, and a note. Every field has a name, so tests find it.
class JobDialog final : public QDialog {
 public:
  JobDialog(Language language, QWidget* parent = nullptr);

  /// Fills `request` with the fields; false with `error` when a number cannot be read.
  bool Fill(JobRequest& request, std::string& error) const;

 private:
  Language language_;
  QLineEdit* name_;
  QLineEdit* serial_;
  QLineEdit* start_;
  QLineEdit* step_;
  QLineEdit* counter_;
  QLineEdit* note_;
  QCheckBox* resume_;
  QCheckBox* confirm_;
};

}  // namespace otp
