#include "app/rebuild_dialog.h"

#include <QCoreApplication>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QVBoxLayout>

#include "platform/paths.h"
#include "store/fax_tables.h"
#include "ui/window_helpers.h"

namespace tv {

TRebuildInd::TRebuildInd(TXbase& outgoing, TXbase& received, TXbase& phone, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      outgoing_(outgoing),
      received_(received),
      phone_(phone) {
  setObjectName("TRebuildInd");
  setWindowTitle("Rebuild Indexes");
  gauge1_ = new QProgressBar(this);
  gauge1_->setObjectName("Gauge1");
  gauge1_->setRange(0, 100);
  gauge1_->setVisible(false);
  whatAmIDoing_ = new QLabel(this);
  whatAmIDoing_->setObjectName("WhatAmIDoing");
  whatAmIDoing_->setMinimumWidth(whatAmIDoing_->fontMetrics().averageCharWidth() * 50);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(whatAmIDoing_);
  layout->addWidget(gauge1_);
}

void TRebuildInd::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  QTimer::singleShot(0, this, &TRebuildInd::Rebuild);
}

void TRebuildInd::Rebuild() {
  gauge1_->setVisible(true);
  whatAmIDoing_->clear();
  whatAmIDoing_->setVisible(true);
  try {
    RebuildIndexes(outgoing_, received_, phone_, ProgramFolder(), [this](const std::string& status, int percent) {
      whatAmIDoing_->setText(QString::fromStdString(status));
      gauge1_->setValue(percent);
      QCoreApplication::processEvents();
    });
  } catch (const XbaseError& e) {
    ShowInformation(QString::fromLocal8Bit(e.what()));
  }
  // Closed through the event queue, after the last progress report is drawn.
  QTimer::singleShot(0, this, &QDialog::accept);
}

}  // namespace tv
