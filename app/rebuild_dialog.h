// "Rebuild Indexes": packs the three tables and builds their tags again,
// showing what it does and how far it is.
#pragma once

#include <QDialog>

#include "store/txbase.h"

class QLabel;
class QProgressBar;

namespace tv {

class TRebuildInd : public QDialog {
  Q_OBJECT

 public:
  TRebuildInd(TXbase& outgoing, TXbase& received, TXbase& phone, QWidget* parent = nullptr);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Rebuild();

  TXbase& outgoing_;
  TXbase& received_;
  TXbase& phone_;
  QProgressBar* gauge1_;
  QLabel* whatAmIDoing_;
  bool started_ = false;
};

}  // namespace tv
