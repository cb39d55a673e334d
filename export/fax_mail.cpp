#include "export/fax_mail.h"

#include <curl/curl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>
#include <random>

namespace tv {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBase64LineBytes = 57;  // 76 characters a line
constexpr std::array<int, 4> kFirstRetryMinutes = {1, 5, 15, 60};
constexpr int kLaterRetryMinutes = 4 * 60;
constexpr int kRetryForMinutes = 24 * 60;

std::string Base64(const std::uint8_t* bytes, std::size_t size) {
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (std::size_t i = 0; i < size; i += 3) {
    const std::uint32_t n = static_cast<std::uint32_t>(bytes[i]) << 16 |
                            (i + 1 < size ? static_cast<std::uint32_t>(bytes[i + 1]) << 8 : 0) |
                            (i + 2 < size ? bytes[i + 2] : 0);
    out += kBase64[n >> 18 & 63];
    out += kBase64[n >> 12 & 63];
    out += i + 1 < size ? kBase64[n >> 6 & 63] : '=';
    out += i + 2 < size ? kBase64[n & 63] : '=';
  }
  return out;
}

// A header's words as they may stand in a header: ASCII as it is, anything
// else as one encoded word.
std::string HeaderText(const std::string& text) {
  const bool ascii = std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) >= 0x20 && static_cast<unsigned char>(c) < 0x7F;
  });
  if (ascii) return text;
  return "=?UTF-8?B?" + Base64(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()) + "?=";
}

std::string WithCrlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') out += '\r';
    out += c;
  }
  if (out.empty() || out.back() != '\n') out += "\r\n";
  return out;
}

std::string Token() {
  std::random_device device;
  std::mt19937_64 random(device());
  char text[40];
  std::snprintf(text, sizeof text, "%016llx%08x", static_cast<unsigned long long>(random()),
                static_cast<unsigned>(getpid()));
  return text;
}

struct Upload {
  const std::string& text;
  std::size_t at = 0;
};

std::size_t ReadUpload(char* buffer, std::size_t size, std::size_t count, void* data) {
  auto& upload = *static_cast<Upload*>(data);
  const std::size_t n = std::min(size * count, upload.text.size() - upload.at);
  std::memcpy(buffer, upload.text.data() + upload.at, n);
  upload.at += n;
  return n;
}

std::string Problem(CURLcode code, long response, const MailServer& server, const char* detail) {
  const std::string where = server.host + ":" + std::to_string(server.port);
  switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST: return "There is no mail server " + server.host + " (the name does not resolve)";
    case CURLE_COULDNT_CONNECT: return "The mail server " + where + " cannot be reached";
    case CURLE_OPERATION_TIMEDOUT:
      return "The mail server " + where + " did not answer within " + std::to_string(server.timeoutSeconds) + " s";
    case CURLE_LOGIN_DENIED: return "The mail server " + where + " refused the user name or password";
    case CURLE_USE_SSL_FAILED: return "The mail server " + where + " does not offer an encrypted connection";
    default: break;
  }
  std::string text = "The mail server " + where + " did not take the mail";
  if (response > 0) text += " (it answered " + std::to_string(response) + ")";
  text += ": ";
  text += *detail ? detail : curl_easy_strerror(code);
  return text;
}

}  // namespace

std::string ComposeMail(const MailMessage& message, std::time_t date) {
  const std::string boundary = "tessivane-" + Token();
  char stamp[64];
  std::tm local{};
  localtime_r(&date, &local);
  // The day and month names are English whatever the locale.
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const long offset = local.tm_gmtoff / 60;
  std::snprintf(stamp, sizeof stamp, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld", kDays[local.tm_wday],
                local.tm_mday, kMonths[local.tm_mon], local.tm_year + 1900, local.tm_hour, local.tm_min,
                local.tm_sec, offset < 0 ? '-' : '+', std::labs(offset) / 60, std::labs(offset) % 60);
  std::string mail = "From: " + message.from + "\r\nTo: " + message.to + "\r\nSubject: " +
                     HeaderText(message.subject) + "\r\nDate: " + stamp + "\r\nMessage-ID: <" + Token() +
                     "@tessivane>\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"" + boundary +
                     "\"\r\n\r\n--" + boundary +
                     "\r\nContent-Type: text/plain; charset=UTF-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n" +
                     // The line end before a boundary belongs to the boundary.
                     WithCrlf(message.body) + "\r\n";
  if (!message.attachmentName.empty()) {
    const std::string name = HeaderText(message.attachmentName);
    mail += "--" + boundary + "\r\nContent-Type: " + message.attachmentType + "; name=\"" + name +
            "\"\r\nContent-Disposition: attachment; filename=\"" + name +
            "\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
    for (std::size_t at = 0; at < message.attachment.size(); at += kBase64LineBytes) {
      mail += Base64(message.attachment.data() + at, std::min(kBase64LineBytes, message.attachment.size() - at));
      mail += "\r\n";
    }
  }
  mail += "--" + boundary + "--\r\n";
  return mail;
}

std::string SendMail(const MailServer& server, const MailMessage& message) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  CURL* curl = curl_easy_init();
  if (!curl) return "The mail cannot be sent: no memory for the connection";
  const std::string url = std::string(server.security == MailSecurity::kTls ? "smtps://" : "smtp://") +
                          server.host + ":" + std::to_string(server.port);
  const std::string from = "<" + message.from + ">";
  const std::string text = ComposeMail(message, std::time(nullptr));
  Upload upload{text};
  curl_slist* recipients = curl_slist_append(nullptr, ("<" + message.to + ">").c_str());
  char detail[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
  if (server.security == MailSecurity::kStartTls) curl_easy_setopt(curl, CURLOPT_USE_SSL, CURLUSESSL_ALL);
  if (!server.user.empty()) {
    curl_easy_setopt(curl, CURLOPT_USERNAME, server.user.c_str());
    curl_easy_setopt(curl, CURLOPT_PASSWORD, server.password.c_str());
  }
  curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
  curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);
  curl_easy_setopt(curl, CURLOPT_READFUNCTION, &ReadUpload);
  curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
  curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, static_cast<long>(server.timeoutSeconds));
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, detail);
  const CURLcode code = curl_easy_perform(curl);
  long response = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response);
  curl_slist_free_all(recipients);
  curl_easy_cleanup(curl);
  return code == CURLE_OK ? std::string() : Problem(code, response, server, detail);
}

std::optional<std::chrono::minutes> MailRetryDelay(int failures) {
  if (failures < 1) return std::chrono::minutes(0);
  if (failures <= static_cast<int>(kFirstRetryMinutes.size())) return std::chrono::minutes(kFirstRetryMinutes[failures - 1]);
  int waited = 0;
  for (int minutes : kFirstRetryMinutes) waited += minutes;
  waited += (failures - static_cast<int>(kFirstRetryMinutes.size()) - 1) * kLaterRetryMinutes;
  if (waited + kLaterRetryMinutes > kRetryForMinutes) return std::nullopt;
  return std::chrono::minutes(kLaterRetryMinutes);
}

}  // namespace tv
