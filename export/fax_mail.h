// Faxes that leave the program by mail: the message (a text and the fax as
// an attachment) and its delivery through the user's SMTP server, by libcurl.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace tv {

enum class MailSecurity { kNone, kStartTls, kTls };

struct MailServer {
  std::string host;
  int port = 587;
  MailSecurity security = MailSecurity::kStartTls;
  std::string user;  // none: no login
  std::string password;
  int timeoutSeconds = 60;  // for the whole delivery, the connection included
};

struct MailMessage {
  std::string from;
  std::string to;
  std::string subject;  // UTF-8
  std::string body;     // UTF-8, lines ending in LF
  std::string attachmentName;
  std::string attachmentType = "application/pdf";
  std::vector<std::uint8_t> attachment;
};

// The message as it goes to the server: headers (words outside ASCII
// encoded), a text part and the attachment in base64, CRLF line ends.
std::string ComposeMail(const MailMessage& message, std::time_t date);

// Delivers the message: empty, or what went wrong in words (the server's
// refusal, a server that cannot be reached or does not answer in time). The
// password never appears in it.
std::string SendMail(const MailServer& server, const MailMessage& message);

// How long to wait before trying a failed mail again, after `failures`
// failed attempts: 1, 5, 15 and 60 minutes, then every 4 hours; nothing
// after a day of trying.
std::optional<std::chrono::minutes> MailRetryDelay(int failures);

}  // namespace tv
