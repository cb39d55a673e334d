#include "app/mail_queue.h"

#include <QMetaObject>
#include <ctime>
#include <filesystem>

#include "app/keyring.h"
#include "export/export_settings.h"
#include "export/fax_pdf.h"
#include "export/fax_to_mail.h"
#include "image/apf_file.h"
#include "platform/files.h"
#include "platform/paths.h"

namespace tv {

namespace {

constexpr int kPollMs = 30 * 1000;

}  // namespace

MailQueue::MailQueue(QObject* parent) : QObject(parent) {
  pool_.setMaxThreadCount(1);
  connect(&timer_, &QTimer::timeout, this, &MailQueue::Poke);
  timer_.start(kPollMs);
}

MailQueue::~MailQueue() { pool_.waitForDone(); }

void MailQueue::Add(const std::string& fax) {
  if (!LoadMailSettings(SettingsFilePath()).On()) return;
  SaveFaxMailState(fax, FaxMailState());
  Poke();
}

std::optional<std::string> MailQueue::NextDue() const {
  std::error_code error;
  const std::time_t now = std::time(nullptr);
  for (const auto& entry : std::filesystem::directory_iterator(ReceiveFolder(), error)) {
    if (entry.path().extension() != ".mail") continue;
    const std::string fax = ChangeExtension(entry.path().string(), ".APF");
    const FaxMailState state = LoadFaxMailState(fax);
    if (state.Pending() && state.nextTry <= now && IsRegularFile(fax)) return fax;
  }
  return std::nullopt;
}

void MailQueue::Poke() {
  if (busy_) return;
  const MailSettings settings = LoadMailSettings(SettingsFilePath());
  const std::optional<std::string> fax = settings.On() ? NextDue() : std::nullopt;
  if (!fax) return;
  busy_ = true;
  if (settings.server.user.empty()) return Send(*fax, {});
  // Without a keyring the try goes without a password, and the server says
  // what it thinks of that in the row.
  ReadFromKeyringLater(MailPasswordKey(settings.server.user, settings.server.host), this,
                       [this, fax = *fax](const std::optional<std::string>& password) {
                         Send(fax, password.value_or(std::string()));
                       });
}

void MailQueue::Send(const std::string& fax, const std::string& password) {
  MailSettings settings = LoadMailSettings(SettingsFilePath());
  settings.server.password = password;
  const TFaxPaper paper = LoadExportSettings(SettingsFilePath()).paper;
  pool_.start([this, fax, settings, paper] {
    TApfFileHeader header;
    ApfReadFileHeader(fax, header);
    const FaxPdfDetails details = FaxFileDetails(fax);
    const ReceivedFaxMail mail{fax, details.author, header.pageCount, details.date, settings.from, settings.to};
    const FaxMailState after = TryFaxMail(settings.server, mail, paper, LoadFaxMailState(fax), std::time(nullptr));
    // A state that cannot be kept is tried again at the next poll, not at once.
    const bool kept = SaveFaxMailState(fax, after) == 0;
    QMetaObject::invokeMethod(
        this,
        [this, kept] {
          busy_ = false;
          emit Tried();
          if (kept) Poke();
        },
        Qt::QueuedConnection);
  });
}

}  // namespace tv
