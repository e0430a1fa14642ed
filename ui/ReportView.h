#pragma once

#include <QWidget>

#include "core/Catalogue.h"
#include "ops/BatchFigures.h"

namespace otp::ui {

/// The station's Report tab: the units per hour, the memory map of failures and their
/// reasons for the station's run, painted by the batch report's own layout.
class ReportView final : public QWidget {
 public:
  ReportView(Language language, QWidget* parent = nullptr);

  void SetFigures(BatchFigures figures);
  const BatchFigures& figures() const { return figures_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Language language_;
  BatchFigures figures_;
};

}  // namespace otp::ui
