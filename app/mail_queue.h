// Mailing received faxes: each waits beside its fax (FAX0001.mail) until it
// went, tried again as MailRetryDelay says, one at a time on a thread of its
// own (a server may take a minute to answer), the password read from the
// desktop's keyring for each try.
#pragma once

#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <optional>
#include <string>

namespace tv {

class MailQueue : public QObject {
  Q_OBJECT

 public:
  explicit MailQueue(QObject* parent = nullptr);
  ~MailQueue() override;

  // A fax to mail when mailing is set up: its mail waits from now on.
  void Add(const std::string& fax);
  // Tries the next mail that is due, if none is under way.
  void Poke();

 signals:
  // A fax's mail was tried: the incoming list shows where it stands.
  void Tried();

 private:
  std::optional<std::string> NextDue() const;
  void Send(const std::string& fax, const std::string& password);

  QThreadPool pool_;
  QTimer timer_;
  bool busy_ = false;
};

}  // namespace tv
