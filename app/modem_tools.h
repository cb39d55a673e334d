// The modem tools: Find Modem probes the serial ports for something that
// answers "OK" to "AT", Check Fax Class asks the modem which fax classes it
// offers, Modem Reset sends a reset string on demand. Each does its work as
// soon as it is on screen and reports every failure in its own texts.
#pragma once

#include <QDialog>
#include <QStringList>
#include <string>
#include <vector>

#include "comm/qa_port.h"
#include "fax/fax_components.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace tv {

class RadioGroup;

inline constexpr int kComPorts = 6;

class IniFile;

// What a COM number stands for on this machine: its device ("/dev/ttyS0"),
// "Demo line", or "SIP: ann@example.org" for a SIP line and its account.
QString ComDeviceLabel(const IniFile& ini, int comNumber);
// A COM number as the windows name it: "Com2", or "Com2 (SIP: ann@example.org)"
// for a SIP line, which has no device to go by.
QString ComPortName(int comNumber);
// "Com1 (/dev/ttyS0)" ... "Com6 (...)": each COM number with what it stands for.
QStringList ComPortItems();
void ShowComPortDevices(RadioGroup& portChoice);

class TFindModemForm : public QDialog {
  Q_OBJECT

 public:
  // Probes on the caller's port; the caller sets its ComNumber back afterwards.
  explicit TFindModemForm(TQaComPort& port, QWidget* parent = nullptr);

  // The first COM number on which a modem answered, or -1.
  int Result() const { return result_; }
  // A modem found on a USB device that no COM number stands for yet (its
  // stable name when it has one), or empty.
  const std::string& FoundDevice() const { return foundDevice_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  struct Probe;
  void ProbePorts();
  // Opens the port and asks the modem; the text for the port's label.
  QString ProbePort(Probe& probe);
  void ShowOutcome();

  TQaComPort& port_;
  bool started_ = false;
  int result_ = -1;
  std::string foundDevice_;
  bool busyPortSeen_ = false;
  std::vector<QLabel*> portLabels_;
  QLabel* resultLabel_;
  QLabel* helpLink_;
  QPushButton* ok_;
};

class TCheckFaxClassForm : public QDialog {
  Q_OBJECT

 public:
  TCheckFaxClassForm(TQaComPort& port, TQaSendFax& fax, int comNumber, QWidget* parent = nullptr);

  // 2 Class 2.0, 1 Class 2, 0 Class 1, -1 none found.
  int Result() const { return result_; }
  // "Class 2.0", "Class 2" or "Class 1" for the recommended class.
  const QString& ClassName() const { return className_; }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void CheckClasses();
  void ShowUnknown();

  TQaComPort& port_;
  TQaSendFax& fax_;
  int comNumber_;
  bool started_ = false;
  int result_ = -1;
  QString className_;
  QLabel* class1_;
  QLabel* class2_;
  QLabel* class20_;
  QLabel* status_;
  QPushButton* ok_;
};

class TResetModemForm : public QDialog {
  Q_OBJECT

 public:
  explicit TResetModemForm(QWidget* parent = nullptr);

  void SetValues(int comPort, const QString& resetString, bool alwaysUse);
  QString ResetString() const;
  bool AlwaysUse() const;

 private:
  void ResetNowClick();

  TQaComPort port_;
  RadioGroup* comPort_;
  QLineEdit* resetString_;
  QCheckBox* alwaysUse_;
  QPushButton* resetNow_;
  QPushButton* ok_;
  QLabel* status_;
};

// Reloads the settings, runs the Modem Reset dialog on them and saves the
// reset string and the always-reset choice, whatever button closed it.
void ShowModemResetDialog(QWidget* parent);

// What Preferences and the send dialog do around the tools. Find Modem runs
// on the caller's port; a modem on another COM number is offered as the new
// choice, and one on a USB device no COM number stands for is offered to be
// mapped to the chosen COM number in TV.INI.
void FindModemFor(QWidget* parent, TQaComPort& port, RadioGroup& portChoice);
// Check Fax Class on the chosen port; a recommendation that differs from
// the chosen class is offered.
void CheckFaxClassFor(QWidget* parent, TQaComPort& port, TQaSendFax& fax, const RadioGroup& portChoice,
                      RadioGroup& classChoice);

}  // namespace tv
