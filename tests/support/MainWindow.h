#pragma once

#include <QPushButton>
#include <QtTest/QTest>
#include <string>

#include "app/CWriterDlg.h"
#include "res/Templates.h"

namespace otp::test {

/// Which of Download, the COM list and the three operation buttons can be used, as
/// "1" or "0" each in this order: "11000" is the idle set, "11111" the ready set.
inline std::string ButtonSet(const CWriterDlg& dialog) {
  std::string set;
  for (const int id : {res::id::kDownload, res::id::kComPort, res::id::kBlankCheck,
                       res::id::kProgramVerify, res::id::kReadCompare}) {
    set += dialog.findChild<QWidget*>(QString::number(id))->isEnabled() ? '1' : '0';
  }
  return set;
}

/// Clicks the button with `id` with the mouse; the operation it starts runs inside.
inline void ClickButton(CWriterDlg& dialog, int id) {
  QTest::mouseClick(dialog.findChild<QPushButton*>(QString::number(id)), Qt::LeftButton);
}

}  // namespace otp::test
