// Mailing a fax through a real SMTP server on 127.0.0.1 (aiosmtpd), its
// message read back by Python's own mail parser.
#include "export/fax_mail.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "export/fax_ocr.h"
#include "export/fax_to_mail.h"
#include "platform/child_process.h"
#include "tests/support/fax_pages.h"
#include "tests/support/temp_dir.h"

namespace tv {
namespace {

// The mail server of tests/export/smtp_sink.py, until the test ends.
class SmtpSink {
 public:
  SmtpSink(const char* mode, const std::string& folder) {
    if (pipe2(input_, O_CLOEXEC) != 0) return;
    if (server_.Start({"/usr/bin/python3", std::string(TV_SMTP_SINK), mode, folder}, input_[0]) != 0) return;
    close(input_[0]);
    input_[0] = -1;
    std::string line;
    char c = 0;
    std::size_t got = 0;
    while (server_.Read(&c, 1, 10000, got) == 0 && got == 1 && c != '\n') line += c;
    port_ = line.empty() ? 0 : std::stoi(line);
  }
  ~SmtpSink() {
    for (int fd : input_) {
      if (fd >= 0) close(fd);
    }
    server_.Wait();
  }
  int Port() const { return port_; }

 private:
  ChildProcess server_;
  int input_[2] = {-1, -1};
  int port_ = 0;
};

MailMessage FaxMail() {
  MailMessage m;
  m.from = "fax@example.org";
  m.to = "ann@example.org";
  m.subject = "Fax von M\xC3\xBCller, 2 pages";
  m.body = "From: MUELLER\nPages: 2\n.\n..a line that starts with a dot\n";
  m.attachmentName = "FAX0001.pdf";
  for (int i = 0; i < 5000; ++i) m.attachment.push_back(static_cast<std::uint8_t>(i * 7));
  return m;
}

MailServer Server(int port, int timeout = 10) {
  MailServer s;
  s.host = "127.0.0.1";
  s.port = port;
  s.security = MailSecurity::kNone;
  s.timeoutSeconds = timeout;
  return s;
}

TEST(FaxMail, TheServerGetsTheTextAndTheFaxAsAnAttachment) {
  test::TempDir dir;
  SmtpSink sink("accept", dir.Path());
  ASSERT_GT(sink.Port(), 0);
  const MailMessage mail = FaxMail();
  ASSERT_EQ(SendMail(Server(sink.Port()), mail), "");
  // Python's mail parser reads the subject, the body and the attachment.
  const std::string script =
      "import email, email.policy, sys\n"
      "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)\n"
      "print(m['Subject']); print(m.get_body(('plain',)).get_content(), end='')\n"
      "for part in m.iter_attachments():\n"
      "    print(part.get_filename(), part.get_content_type())\n"
      "    open(sys.argv[2], 'wb').write(part.get_content())\n";
  std::string output;
  int status = -1;
  ASSERT_EQ(ChildProcess::Run({"/usr/bin/python3", "-c", script, dir.File("1.eml"), dir.File("fax.pdf")}, status,
                              &output),
            0);
  ASSERT_EQ(status, 0) << output;
  EXPECT_EQ(output, "Fax von M\xC3\xBCller, 2 pages\n" + mail.body + "FAX0001.pdf application/pdf\n");
  const std::string attachment = dir.Read("fax.pdf");
  EXPECT_EQ(std::vector<std::uint8_t>(attachment.begin(), attachment.end()), mail.attachment);
}

TEST(FaxMail, RefusalsAndSilenceAreSaidInWordsWithinTheTimeLimit) {
  test::TempDir dir;
  MailServer server = Server(0, 2);
  server.user = "ann";
  server.password = "s3cret-word";
  {
    SmtpSink refusing("refuse", dir.Path());
    server.port = refusing.Port();
    const std::string problem = SendMail(server, FaxMail());
    EXPECT_NE(problem.find("did not take the mail"), std::string::npos) << problem;
    EXPECT_EQ(problem.find("s3cret"), std::string::npos) << problem;
  }
  {
    SmtpSink silent("stall", dir.Path());
    server.port = silent.Port();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SendMail(server, FaxMail()), "The mail server 127.0.0.1:" + std::to_string(server.port) +
                                                " did not answer within 2 s");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  }
  // Nothing listens there any more.
  EXPECT_EQ(SendMail(server, FaxMail()),
            "The mail server 127.0.0.1:" + std::to_string(server.port) + " cannot be reached");
  EXPECT_FALSE(std::ifstream(dir.File("1.eml")).good());
}

// A received fax through the server: the PDF of its pages attached, its
// text's first lines in the body; a server that refuses leaves a failure to
// try again later, kept beside the fax, and the fax as it was.
TEST(FaxMail, AReceivedFaxGoesAsAPdfAndAFailureWaitsForItsNextTry) {
  test::TempDir dir;
  dir.Write("FAX0001.APF", test::FaxFileBytes("Invoice 4471"));
  const std::string faxBytes = dir.Read("FAX0001.APF");
  ASSERT_EQ(SaveOcr(OcrFilePath(dir.File("FAX0001.APF")), {{{10, 10, 80, 20, "Invoice"}, {100, 10, 50, 20, "4471"}}}), 0);
  ReceivedFaxMail fax{dir.File("FAX0001.APF"), "DEMO FAX", 1, 1765000000, "fax@example.org", "ann@example.org"};
  const std::time_t now = 1765000100;

  std::filesystem::create_directory(dir.File("refused"));
  {
    SmtpSink refusing("refuse", dir.File("refused"));
    const FaxMailState failed = TryFaxMail(Server(refusing.Port()), fax, TFaxPaper::fpA4, {}, now);
    EXPECT_EQ(failed.failures, 1);
    EXPECT_EQ(failed.nextTry, now + 60);
    EXPECT_TRUE(failed.Pending());
    ASSERT_EQ(SaveFaxMailState(fax.file, failed), 0);
    const FaxMailState kept = LoadFaxMailState(fax.file);
    EXPECT_EQ(kept.nextTry, failed.nextTry);
    EXPECT_EQ(FaxMailStateText(kept).rfind("mail failed 1 time, next try at ", 0), 0u) << FaxMailStateText(kept);
    EXPECT_NE(FaxMailStateText(kept).find("did not take the mail"), std::string::npos);
    // Not due yet: nothing is tried.
    EXPECT_EQ(TryFaxMail(Server(refusing.Port()), fax, TFaxPaper::fpA4, kept, now + 30).failures, 1);
  }

  SmtpSink sink("accept", dir.Path());
  const FaxMailState sent = TryFaxMail(Server(sink.Port()), fax, TFaxPaper::fpA4, LoadFaxMailState(fax.file), now + 60);
  EXPECT_TRUE(sent.delivered) << sent.problem;
  EXPECT_EQ(FaxMailStateText(sent), "mailed");
  const std::string script =
      "import email, email.policy, sys\n"
      "m = email.message_from_binary_file(open(sys.argv[1], 'rb'), policy=email.policy.default)\n"
      "print(m['Subject']); print(m.get_body(('plain',)).get_content(), end='')\n"
      "for part in m.iter_attachments(): open(sys.argv[2], 'wb').write(part.get_content())\n";
  std::string output;
  int status = -1;
  ASSERT_EQ(ChildProcess::Run({"/usr/bin/python3", "-c", script, dir.File("1.eml"), dir.File("fax.pdf")}, status,
                              &output),
            0);
  EXPECT_EQ(output.substr(0, output.find("Received:")), "Fax from DEMO FAX, 1 page\nFrom: DEMO FAX\nPages: 1\n");
  EXPECT_NE(output.find("\nInvoice 4471\n"), std::string::npos) << output;
  ASSERT_EQ(ChildProcess::Run({"/usr/bin/pdfinfo", dir.File("fax.pdf")}, status, &output), 0);
  EXPECT_NE(output.find("Pages:           1"), std::string::npos) << output;
  EXPECT_EQ(dir.Read("FAX0001.APF"), faxBytes);
}

TEST(FaxMail, AFailedMailIsTriedAgainLessAndLessOftenForADay) {
  std::vector<int> delays;
  for (int failures = 1; const auto delay = MailRetryDelay(failures); ++failures) {
    delays.push_back(static_cast<int>(delay->count()));
  }
  EXPECT_EQ(delays, (std::vector<int>{1, 5, 15, 60, 240, 240, 240, 240, 240}));
}

}  // namespace
}  // namespace tv
